// Serial framing: each packet's wire bytes plus a CRC-8 (Dallas/Maxim,
// reflected polynomial 0x8C, initial 0), COBS-encoded and ended by 0x00.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "modsim/packet.h"

namespace modsim {

uint8_t crc8(const uint8_t* bytes, std::size_t count);
std::vector<uint8_t> cobsEncode(const std::vector<uint8_t>& in);
// Empty optional for malformed input.
std::optional<std::vector<uint8_t>> cobsDecode(const std::vector<uint8_t>& in);

// One complete frame (delimiter included) for a packet.
std::vector<uint8_t> encodeFrame(const Packet& packet);

// Collects frames from a serial byte stream.
class FrameDecoder {
  public:
    enum class Result { NeedMore, Complete, Bad };
    Result feed(uint8_t byte);
    const Packet& packet() const { return packet_; }

  private:
    static constexpr std::size_t kMaxFrame = 64;
    std::vector<uint8_t> frame_;
    bool overlong_ = false;
    Packet packet_;
};

}  // namespace modsim
