// Module packets: address, length and up to 28 data bytes, with the
// incremental parser that assembles one from a byte stream.
#ifndef QUILLAREX_APACKET_H
#define QUILLAREX_APACKET_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// Wire form: address (never 0), data length N (0 to 28), N data bytes.
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

// One packet. Read the fields freely; change them only through the
// operations below. A packet belongs to one thread at a time.
typedef struct aPacket {
    uint16_t check;    // aPACKET_CHECK while the packet is valid
    uint8_t count;     // wire bytes received so far (dataSize + 2 when complete)
    uint8_t address;   // module address, 0 while not yet received
    uint8_t dataSize;  // N
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;
typedef aPacket* aPacketRef;

// A new empty packet owned by the caller (release with aPacket_Destroy), or
// null when memory is short.
aPacketRef aPacket_Create();

// A complete packet with the given address (not checked), length and data,
// owned by the caller; null when data is null, length is above
// aPACKET_MAX_DATA or memory is short.
aPacketRef aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data);

// A new packet with the address, length and data of packet; null for an
// invalid packet.
aPacketRef aPacket_Copy(const aPacket* packet);

// Frees the packet and clears *packet. aErrParam for a null reference or a
// null or invalid packet (the reference is cleared all the same).
aErr aPacket_Destroy(aPacketRef* packet);

// Empties the packet for parsing anew. aErrParam for an invalid packet.
aErr aPacket_Reset(aPacketRef packet);

// Feeds one received byte into the parser:
//   aErrNone     the byte was taken; ask aPacket_IsComplete;
//   aErrPacket   the byte cannot be part of a packet here: a zero address, a
//                length above aPACKET_MAX_DATA (stored all the same), or a
//                byte after the end of a complete packet (not stored);
//   aErrOverrun  more than aPACKET_MAX_WIRE bytes were fed;
//   aErrParam    invalid packet.
// After an error the partial contents stay; reset the packet before feeding
// it again. Reset a complete packet before feeding the next one.
aErr aPacket_AddByte(aPacketRef packet, uint8_t byte);

// True when the packet is valid and all its announced bytes were received.
bool aPacket_IsComplete(const aPacket* packet);

// Writes the wire form (address, length, data) into buffer; written
// (optional) receives its size, dataSize + 2. aErrParam for an invalid packet
// or a null buffer, aErrOverrun when capacity is below dataSize + 2.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t capacity, size_t* written);

// Message fields: data byte 0 (command), data byte 1 & 0x3F (option), data
// byte 2 & 0x1F (index). aErrParam for a null out-parameter, aErrPacket for
// an invalid packet or one with too few data bytes.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

#endif
