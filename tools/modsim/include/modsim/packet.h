// Module packets as they travel on a link: address, length (0 to 28), data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace modsim {

constexpr std::size_t kMaxPacketData = 28;

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    Packet() = default;
    Packet(uint8_t addr, std::vector<uint8_t> bytes) : address(addr), data(std::move(bytes)) {}

    // Wire form: address, length, data.
    std::vector<uint8_t> wire() const;
    bool operator==(const Packet& other) const {
        return address == other.address && data == other.data;
    }
};

// Assembles packets from a byte stream that carries them back to back.
// A zero address byte or a length above 28 is a framing error: the parser
// reports it, drops the partial packet and starts over with the next byte.
class PacketParser {
  public:
    enum class Result { NeedMore, Complete, Error };

    Result feed(uint8_t byte);
    // The packet finished by the last feed() that returned Complete.
    const Packet& packet() const { return current_; }
    void reset();

  private:
    Packet current_;
    bool haveAddress_ = false;
    bool haveLength_ = false;
    std::size_t length_ = 0;
};

}  // namespace modsim
