#include "common/aPacket.h"

#include <cstring>
#include <new>

namespace {

const aPacket sTemplate = {aPACKET_CHECK, 0, 0, 0, {0}};

bool sIsValid(const aPacket* packet) {
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

aErr sGetDataByte(const aPacket* packet, size_t index, uint8_t mask, uint8_t* value) {
    if (value == nullptr) {
        return aErrParam;
    }
    if (!sIsValid(packet) || packet->dataSize <= index) {
        return aErrPacket;
    }
    *value = packet->data[index] & mask;
    return aErrNone;
}

}  // namespace

aPacketRef aPacket_Create() {
    aPacket* packet = new (std::nothrow) aPacket;
    if (packet != nullptr) {
        *packet = sTemplate;
    }
    return packet;
}

aPacketRef aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data) {
    if (data == nullptr || length > aPACKET_MAX_DATA) {
        return nullptr;
    }
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) {
        return nullptr;
    }
    packet->address = address;
    packet->dataSize = static_cast<uint8_t>(length);
    packet->count = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return packet;
}

aPacketRef aPacket_Copy(const aPacket* packet) {
    if (!sIsValid(packet) || packet->dataSize > aPACKET_MAX_DATA) {
        return nullptr;
    }
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_Destroy(aPacketRef* reference) {
    if (reference == nullptr) {
        return aErrParam;
    }
    aPacket* packet = *reference;
    *reference = nullptr;
    if (!sIsValid(packet)) {
        return aErrParam;
    }
    packet->check = 0;
    delete packet;
    return aErrNone;
}

aErr aPacket_Reset(aPacketRef packet) {
    if (!sIsValid(packet)) {
        return aErrParam;
    }
    *packet = sTemplate;
    return aErrNone;
}

aErr aPacket_AddByte(aPacketRef packet, uint8_t byte) {
    if (!sIsValid(packet)) {
        return aErrParam;
    }
    // The count stops one past the largest packet so that it cannot wrap
    // however many bytes a caller keeps feeding.
    if (packet->count > aPACKET_MAX_WIRE) {
        return aErrOverrun;
    }
    ++packet->count;
    if (packet->count > aPACKET_MAX_WIRE) {
        return aErrOverrun;
    }
    if (packet->count == 1) {
        if (byte == 0) {
            return aErrPacket;  // an address is never 0
        }
        packet->address = byte;
        return aErrNone;
    }
    if (packet->count == 2) {
        // Decided by position, not by dataSize == 0: a length of 0 is a
        // complete packet, and the byte after it must not become its length.
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }
    if (packet->count > packet->dataSize + 2) {
        return aErrPacket;  // past the end of the packet
    }
    packet->data[packet->count - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    // A stored length above the maximum never makes a packet, whatever the count.
    return sIsValid(packet) && packet->dataSize <= aPACKET_MAX_DATA &&
           packet->count == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t capacity, size_t* written) {
    if (!sIsValid(packet) || buffer == nullptr || packet->dataSize > aPACKET_MAX_DATA) {
        return aErrParam;
    }
    const size_t size = static_cast<size_t>(packet->dataSize) + 2;
    if (capacity < size) {
        return aErrOverrun;
    }
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    if (written != nullptr) {
        *written = size;
    }
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
    return sGetDataByte(packet, 0, 0xFF, command);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return sGetDataByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return sGetDataByte(packet, 2, 0x1F, index);
}
