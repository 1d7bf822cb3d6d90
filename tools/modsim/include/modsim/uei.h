// Building and taking apart the module side of UEI messages: value reports,
// acknowledgements, error answers and byte arrays with their trailer byte.
#pragma once

#include <cstdint>
#include <vector>

#include "modsim/packet.h"

namespace modsim {

// Error codes a module puts into error answers.
enum ErrorCode : uint8_t {
    kErrParam = 2,
    kErrNotFound = 3,
    kErrBusy = 5,
    kErrIO = 6,
    kErrMode = 7,
    kErrRange = 13,
    kErrSize = 14,
    kErrOverrun = 15,
    kErrUnimplemented = 21,
    kErrPacket = 24,
    kErrIndexRange = 26,
    kErrShortCommand = 27,
    kErrInvalidEntity = 28,
    kErrInvalidOption = 29,
    kErrResource = 30,
    kErrMedia = 31,
};

namespace uei {

constexpr uint8_t kOpMask = 0xC0;
constexpr uint8_t kOpReport = 0x00;
constexpr uint8_t kOpGet = 0x40;
constexpr uint8_t kOpSet = 0x80;
constexpr uint8_t kOpAck = 0xC0;
constexpr uint8_t kSpecRequest = 0x20;
constexpr uint8_t kSpecStream = 0x40;
constexpr uint8_t kSpecError = 0x80;
constexpr uint8_t kTrailerMore = 0x80;

// True for packets whose first data byte is a command that never carries UEI.
bool isRawCommand(uint8_t command);

// A value report (width 0, 1, 2 or 4 bytes) for a get.
Packet report(uint8_t address, uint8_t command, uint8_t option, uint8_t index, unsigned width,
              uint32_t value);
// The acknowledgement of a set or call.
Packet ack(uint8_t address, uint8_t command, uint8_t option, uint8_t index);
// An error answer; `optionByte` is the option byte the host waits for.
Packet error(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code);
// A byte array as value reports of at most `chunk` payload bytes each.
std::vector<Packet> byteArray(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                              const std::vector<uint8_t>& bytes, std::size_t chunk = 24);

// Reassembles a byte array sent as a series of set messages.
class ByteArrayAssembler {
  public:
    enum class Result { More, Done, BadSequence };
    // `packet` data: command, option, specifier, payload, trailer (length >= 4).
    Result feed(const Packet& packet);
    std::vector<uint8_t> take();
    bool active() const { return active_; }

  private:
    bool active_ = false;
    uint8_t command_ = 0, option_ = 0, next_ = 0;
    std::vector<uint8_t> bytes_;
};

}  // namespace uei
}  // namespace modsim
