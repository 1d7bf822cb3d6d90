#include "api/Entity.h"

#include <new>

namespace Vexmoran {
namespace Quillarex {

namespace {

constexpr uint8_t kCmdStore = 92;
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreLoad = 1;
constexpr uint8_t kStoreReset = 2;

aErr sAnswer(aErr err, const uei& record) {
    if (err == aErrNone && (record.specifier & aUEI_SPEC_ERROR))
        return static_cast<aErr>(record.value.byteVal);
    return err;
}

}  // namespace

struct EntityClass::impl {
    EntityClass* owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
    explicit impl(EntityClass* e) : owner(e) {}
};

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl(this)) {}

EntityClass::~EntityClass() {
    delete m_impl;
}

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    if (!m_impl)
        return aErrResource;
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
    return aErrNone;
}

uint8_t EntityClass::getIndex() {
    return m_impl ? m_impl->index : 0;
}

Module* EntityClass::module() {
    return m_impl ? m_impl->module : nullptr;
}

uint8_t EntityClass::command() {
    return m_impl ? m_impl->command : 0;
}

aErr EntityClass::linkOf(Link** link) {
    if (!m_impl || !m_impl->module)
        return aErrResource;
    *link = m_impl->module->getLink();
    return *link ? aErrNone : aErrResource;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, data);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    if (!record)
        return aErrParam;
    const uint8_t address = m_impl->module->getModuleAddress();
    const uint8_t subindex = record->type == aUEI_TYPE_BYTE ? record->value.byteVal : 0;
    uint32_t cached = 0;
    err = link->getStreamValue(address, m_impl->command, option, m_impl->index, subindex, &cached);
    if (err != aErrNotFound) {
        if (err == aErrNone || err == aErrStreamStale)
            record->value.intVal = cached;
        return err;
    }
    record->module = address;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | aUEI_OP_GET);
    record->specifier = static_cast<uint8_t>(m_impl->index | aUEI_SPEC_REQUEST);
    err = link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    err = link->receiveUEI(address, m_impl->command, option, m_impl->index, record);
    return sAnswer(err, *record);
}

aErr EntityClass::setUEI(uint8_t option, uei* record) {
    return setRecord(option, nullptr, record);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
    return setRecord(option, &subindex, record);
}

// One set, with or without a subindex, and its acknowledgement.
aErr EntityClass::setRecord(uint8_t option, const uint8_t* subindex, uei* record) {
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    if (!record)
        return aErrParam;
    const uint8_t address = m_impl->module->getModuleAddress();
    record->module = address;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | aUEI_OP_SET);
    record->specifier = static_cast<uint8_t>(m_impl->index | aUEI_SPEC_REQUEST);
    err = subindex ? link->sendUEI(*record, *subindex) : link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    err = link->receiveUEI(address, m_impl->command, static_cast<uint8_t>(option | aUEI_OP_ACK),
                           m_impl->index, record);
    return sAnswer(err, *record);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei record{};
    record.type = aUEI_TYPE_NONE;
    return setUEI(option, &record);
}

aErr EntityClass::setTyped(uint8_t option, const uint8_t* subindex, uint32_t type, uint32_t value) {
    uei record{};
    record.type = type;
    if (type == aUEI_TYPE_BYTE)
        record.value.byteVal = static_cast<uint8_t>(value);
    else if (type == aUEI_TYPE_SHORT)
        record.value.shortVal = static_cast<uint16_t>(value);
    else
        record.value.intVal = value;
    return subindex ? setUEI(option, *subindex, &record) : setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    return setTyped(option, nullptr, aUEI_TYPE_BYTE, value);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    return setTyped(option, &subindex, aUEI_TYPE_BYTE, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    return setTyped(option, nullptr, aUEI_TYPE_SHORT, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    return setTyped(option, &subindex, aUEI_TYPE_SHORT, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    return setTyped(option, nullptr, aUEI_TYPE_INT, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    return setTyped(option, &subindex, aUEI_TYPE_INT, value);
}

aErr EntityClass::getTyped(uint8_t option, const uint8_t* subindex, uint32_t width,
                           uint32_t* value) {
    uei record{};
    record.type = aUEI_TYPE_NONE;
    if (subindex) {
        record.type = aUEI_TYPE_BYTE;
        record.value.byteVal = *subindex;
    }
    aErr err = getUEI(option, &record);
    if (err == aErrNone || err == aErrStreamStale) {
        *value = width == aUEI_TYPE_BYTE    ? record.value.byteVal
                 : width == aUEI_TYPE_SHORT ? record.value.shortVal
                                            : record.value.intVal;
    }
    return err;
}

// A narrow typed get: the 32-bit result cut to the caller's width.
template <typename T>
aErr EntityClass::getNarrow(uint8_t option, const uint8_t* subindex, uint32_t width, T* value) {
    if (!value)
        return aErrParam;
    uint32_t v = 0;
    aErr err = getTyped(option, subindex, width, &v);
    if (err == aErrNone || err == aErrStreamStale)
        *value = static_cast<T>(v);
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    return getNarrow(option, nullptr, aUEI_TYPE_BYTE, value);
}
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
    return getNarrow(option, &subindex, aUEI_TYPE_BYTE, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    return getNarrow(option, nullptr, aUEI_TYPE_SHORT, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
    return getNarrow(option, &subindex, aUEI_TYPE_SHORT, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    if (!value)
        return aErrParam;
    return getTyped(option, nullptr, aUEI_TYPE_INT, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
    if (!value)
        return aErrParam;
    return getTyped(option, &subindex, aUEI_TYPE_INT, value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (!data && length)
        return aErrParam;
    uei record{};
    record.type = aUEI_TYPE_BYTES;
    record.value.bytes = const_cast<uint8_t*>(data);  // only read when sending
    record.length = length;
    return setUEI(option, &record);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
    if (!buffer || !count || capacity == 0)
        return aErrParam;
    *count = 0;
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    const uint8_t address = m_impl->module->getModuleAddress();
    uei request{};
    request.module = address;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | aUEI_OP_GET);
    request.specifier = static_cast<uint8_t>(m_impl->index | aUEI_SPEC_REQUEST);
    request.type = aUEI_TYPE_NONE;
    err = link->sendUEI(request);
    if (err != aErrNone)
        return err;

    uint64_t received = 0;
    uei record{};
    record.sequence = 0;
    record.continues = false;
    record.length = capacity;
    record.value.bytes = buffer;
    record.received = &received;
    record.type = aUEI_TYPE_BYTES;
    for (;;) {
        err = link->receiveUEI(address, m_impl->command, option, m_impl->index, &record,
                               aUEI_MatchBytes);
        *count = static_cast<size_t>(received);
        if (err != aErrNone || (record.specifier & aUEI_SPEC_ERROR))
            return sAnswer(err, record);
        if (!record.continues)
            return aErrNone;
        record.sequence = static_cast<uint8_t>((record.sequence + 1) % 128);
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
    if (!count)
        return aErrParam;
    if (unitSize == 0)
        return *count == 0 ? aErrNone : aErrMemory;
    if (*count % unitSize != 0)
        return aErrMemory;
    *count /= unitSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
    if (!value)
        return aErrParam;
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    uei record{};
    err = link->receiveUEI(m_impl->module->getModuleAddress(), m_impl->command, option,
                           m_impl->index, &record);
    if (err == aErrNone && !(record.specifier & aUEI_SPEC_ERROR))
        *value = record.value.intVal;
    return sAnswer(err, record);
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* link = nullptr;
    aErr err = linkOf(&link);
    if (err != aErrNone)
        return err;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index);
}

aErr EntityClass::storeRequest(uint8_t option) {
    if (!m_impl || !m_impl->module)
        return aErrResource;
    EntityClass store;
    aErr err = store.init(m_impl->module, kCmdStore, 0);
    if (err != aErrNone)
        return err;
    return store.setUEI32(option, static_cast<uint32_t>(m_impl->command) << 8 | m_impl->index);
}

aErr EntityClass::saveEntityToStore() {
    return storeRequest(kStoreSave);
}

aErr EntityClass::loadEntityFromStore() {
    return storeRequest(kStoreLoad);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return storeRequest(kStoreReset);
}

}  // namespace Quillarex
}  // namespace Vexmoran
