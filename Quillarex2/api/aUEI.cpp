#include "api/aUEI.h"

#include <algorithm>
#include <cstring>

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words)
        return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t b[4];
        std::memcpy(b, &words[i], 4);
        words[i] = aUEI_RetrieveInt(b);
    }
}

namespace {

bool sValid(const aPacket* packet) {
    return packet && packet->check == aPACKET_CHECK;
}

uint8_t sTrailer(const aPacket* packet) {
    if (!sValid(packet) || packet->dataSize == 0)
        return 0;
    return packet->data[packet->dataSize - 1];
}

}  // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return sTrailer(packet) & aUEI_TRAILER_SEQUENCE;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
    return (sTrailer(packet) & aUEI_TRAILER_MORE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return sValid(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!sValid(packet) || packet->dataSize == 0)
        return false;
    switch (packet->data[0]) {
        case 0:
        case 1:
        case 2:
        case 4:
        case 8:
        case 9:
        case 23:
        case 24:
        case 73:
        case 94:
        case 95:
        case 173:
        case 175:
            return true;
        default:
            return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return sValid(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return sValid(packet) && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
           (packet->data[1] & 0xC0) == aUEI_OP_REPORT && (packet->data[2] & aUEI_SPEC_STREAM);
}

aErr aUEI_Send(const uei* record, const uint8_t* subindex, aUEIPutProc put, void* ref) {
    if (!record || !put)
        return aErrParam;
    uint8_t data[aPACKET_MAX_DATA] = {record->command, record->option, record->specifier};
    size_t n = 3;
    if (subindex) {
        if (record->type == aUEI_TYPE_BYTES)
            return aErrParam;
        data[n++] = *subindex;
    }
    switch (record->type) {
        case aUEI_TYPE_NONE:
            break;
        case aUEI_TYPE_BYTE:
            data[n++] = record->value.byteVal;
            break;
        case aUEI_TYPE_SHORT:
            aUEI_StoreShort(data + n, record->value.shortVal);
            n += 2;
            break;
        case aUEI_TYPE_INT:
            aUEI_StoreInt(data + n, record->value.intVal);
            n += 4;
            break;
        case aUEI_TYPE_BYTES: {
            const uint8_t* position = record->value.bytes;
            if (!position && record->length != 0)
                return aErrParam;
            uint64_t sent = 0;
            uint8_t counter = 0;
            for (;;) {
                size_t chunk = static_cast<size_t>(
                    std::min<uint64_t>(record->length - sent, aUEI_BYTES_CHUNK));
                bool more = sent + chunk < record->length;
                if (chunk)
                    std::memcpy(data + 3, position, chunk);
                data[3 + chunk] =
                    static_cast<uint8_t>((more ? aUEI_TRAILER_MORE : 0) | (counter & 0x7F));
                aErr err = put(record->module, data, chunk + 4, ref);
                if (err != aErrNone)
                    return err;
                ++counter;
                position += chunk;
                sent += chunk;
                if (!more)
                    return aErrNone;
            }
        }
        default:
            return aErrParam;
    }
    return put(record->module, data, n, ref);
}

namespace {

// Address, length, command, option byte and index; an error answer fills in
// the record and is accepted.
enum class Head { NoMatch, Error, Value };

Head sMatchHead(const aPacket* packet, uei* record) {
    if (!sValid(packet) || packet->dataSize <= 2 || packet->address != record->module ||
        packet->data[0] != record->command || packet->data[1] != record->option ||
        (packet->data[2] & aUEI_INDEX_MASK) != (record->specifier & aUEI_INDEX_MASK))
        return Head::NoMatch;
    if (packet->data[2] & aUEI_SPEC_ERROR) {
        record->specifier = packet->data[2];
        // An error answer without a code must not read as success.
        record->value.byteVal = packet->dataSize > 3 && packet->data[3] != aErrNone
                                    ? packet->data[3]
                                    : static_cast<uint8_t>(aErrUnknown);
        return Head::Error;
    }
    return Head::Value;
}

}  // namespace

bool aUEI_MatchAnswer(const aPacket* packet, const void* reference) {
    uei* record = static_cast<uei*>(const_cast<void*>(reference));
    if (!record)
        return false;
    Head head = sMatchHead(packet, record);
    if (head != Head::Value)
        return head == Head::Error;
    switch (packet->dataSize) {
        case 3:
            record->type = aUEI_TYPE_NONE;
            break;
        case 4:
            record->type = aUEI_TYPE_BYTE;
            record->value.byteVal = packet->data[3];
            break;
        case 5:
            record->type = aUEI_TYPE_SHORT;
            record->value.shortVal = aUEI_RetrieveShort(packet->data + 3);
            break;
        case 7:
            record->type = aUEI_TYPE_INT;
            record->value.intVal = aUEI_RetrieveInt(packet->data + 3);
            break;
        default:
            break;
    }
    return true;
}

bool aUEI_MatchBytes(const aPacket* packet, const void* reference) {
    uei* record = static_cast<uei*>(const_cast<void*>(reference));
    if (!record)
        return false;
    Head head = sMatchHead(packet, record);
    if (head != Head::Value)
        return head == Head::Error;
    // A byte-array message has at least the trailer after the specifier.
    if (packet->dataSize < 4 || aUEI_getBytesSequence(packet) != record->sequence)
        return false;
    size_t payload = packet->dataSize - 4u;
    uint64_t count = record->received ? *record->received : 0;
    if (count + payload > record->length || (payload && !record->value.bytes)) {
        record->specifier |= aUEI_SPEC_ERROR;
        record->value.byteVal = aErrMemory;
        return true;
    }
    if (payload) {
        std::memcpy(record->value.bytes, packet->data + 3, payload);
        record->value.bytes += payload;
    }
    if (record->received)
        *record->received = count + payload;
    record->sequence = aUEI_getBytesSequence(packet);
    record->continues = aUEI_getBytesContinue(packet);
    return true;
}
