// UEI messages: the module packets that get, set and report the values of a
// module's entities. Data byte 0 is the command (the entity class), byte 1
// the option byte (bits 0-5 the option, bits 6-7 the operation), byte 2 the
// specifier (bits 0-4 the entity index, bit 5 request, bit 6 stream sample,
// bit 7 error answer), then the value, big-endian, whose width the data
// length tells: 3 none, 4 8-bit, 5 16-bit, 7 32-bit. A byte array travels as
// messages of at most 24 payload bytes each followed by a trailer byte (bit 7:
// more follow, bits 0-6: sequence number).
#ifndef QUILLAREX_AUEI_H
#define QUILLAREX_AUEI_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"

// Operation bits of the option byte.
#define aUEI_OP_REPORT 0x00
#define aUEI_OP_GET 0x40
#define aUEI_OP_SET 0x80
#define aUEI_OP_ACK 0xC0
#define aUEI_OPTION_MASK 0x3F

// Specifier bits.
#define aUEI_INDEX_MASK 0x1F
#define aUEI_SPEC_REQUEST 0x20
#define aUEI_SPEC_STREAM 0x40
#define aUEI_SPEC_ERROR 0x80

// Trailer bits of a byte-array message.
#define aUEI_TRAILER_MORE 0x80
#define aUEI_TRAILER_SEQUENCE 0x7F

// Payload bytes of one byte-array message at most.
#define aUEI_BYTES_CHUNK 24
// Byte arrays longer than this get the long answer wait.
#define aUEI_LONG_BYTES 1000
#define aUEI_ANSWER_MS 1000
#define aUEI_LONG_ANSWER_MS 4000

// Value types of a uei record.
#define aUEI_TYPE_NONE 0u
#define aUEI_TYPE_BYTE 1u
#define aUEI_TYPE_SHORT 2u
#define aUEI_TYPE_INT 4u
#define aUEI_TYPE_BYTES 5u

// One UEI message as the object layer passes it around.
typedef struct uei {
    uint8_t module;     // module address
    uint8_t command;    // command
    uint8_t option;     // option byte, operation bits included
    uint8_t specifier;  // specifier byte; after an answer bit 7 marks an error answer
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes;  // byte arrays: the current position in the caller's buffer
        uint8_t raw[8];
    } value;             // after an error answer byteVal holds the module's error code
    uint8_t sequence;    // byte arrays: sequence number expected next
    bool continues;      // byte arrays: the last accepted message announced more
    uint64_t length;     // byte arrays: bytes to send, or capacity of the buffer
    uint64_t* received;  // byte-array reception: bytes received so far
    uint32_t type;       // aUEI_TYPE_*
} uei;

// Big-endian reads and writes.
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts count 32-bit words in place from big-endian to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Trailer of a byte-array message (its last data byte): sequence number and
// more-bit; full is true for data lengths 27 and 28. 0/false for null.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Whether the packet's command is one that never carries a UEI message
// (link control, module information, debug echo, I2C, store slots, factory
// data, boot loader and the like). Null gives false for both.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);

// A stream sample: a value report (operation 00) longer than 4 data bytes
// with the stream bit of its specifier set.
bool aUEI_isStreamPacket(const aPacket* packet);

// Hands the data of every message that sends record to put, in order, and
// stops at put's first error, which is returned. With subindex not null the
// subindex goes after the specifier (value types none, 8, 16 and 32 bits
// only). aErrParam for a null record or put, or a value type that cannot be
// sent (including a byte array with a null buffer and a non-zero length).
typedef aErr (*aUEIPutProc)(uint8_t address, const uint8_t* data, size_t length, void* ref);
aErr aUEI_Send(const uei* record, const uint8_t* subindex, aUEIPutProc put, void* ref);

// Packet filters for awaiting answers; the reference is the uei record being
// answered, which an accepted packet fills in.
//
// Default: address, command and option byte equal the record's, bits 0-4 of
// the specifier equal the record's specifier, more than 2 data bytes. An
// error answer sets the record's specifier to the packet's and byteVal to the
// module's code (aErrUnknown when the answer carries none); otherwise the
// value and type are taken by data length (3, 4, 5, 7; others leave both).
bool aUEI_MatchAnswer(const aPacket* packet, const void* record);
// Byte arrays: the same match; a message whose sequence is not the expected
// one is rejected; its payload is appended at value.bytes and counted in
// *received; a payload that would not fit in length is accepted as the error
// answer aErrMemory.
bool aUEI_MatchBytes(const aPacket* packet, const void* record);

#endif
