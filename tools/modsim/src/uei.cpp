#include "modsim/uei.h"

#include "modsim/bytes.h"

namespace modsim {
namespace uei {

bool isRawCommand(uint8_t command) {
    switch (command) {
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

Packet report(uint8_t address, uint8_t command, uint8_t option, uint8_t index, unsigned width,
              uint32_t value) {
    std::vector<uint8_t> d{command, static_cast<uint8_t>(option & 0x3F),
                           static_cast<uint8_t>(index & 0x1F)};
    if (width == 1)
        d.push_back(static_cast<uint8_t>(value));
    if (width == 2)
        putBE16(d, static_cast<uint16_t>(value));
    if (width == 4)
        putBE32(d, value);
    return Packet(address, std::move(d));
}

Packet ack(uint8_t address, uint8_t command, uint8_t option, uint8_t index) {
    return Packet(address, {command, static_cast<uint8_t>((option & 0x3F) | kOpAck),
                            static_cast<uint8_t>(index & 0x1F)});
}

Packet error(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code) {
    return Packet(address,
                  {command, optionByte, static_cast<uint8_t>((index & 0x1F) | kSpecError), code});
}

std::vector<Packet> byteArray(uint8_t address, uint8_t command, uint8_t optionByte, uint8_t index,
                              const std::vector<uint8_t>& bytes, std::size_t chunk) {
    std::vector<Packet> out;
    std::size_t pos = 0;
    uint8_t sequence = 0;
    do {
        std::size_t n = std::min(chunk, bytes.size() - pos);
        bool more = pos + n < bytes.size();
        std::vector<uint8_t> d{command, optionByte, static_cast<uint8_t>(index & 0x1F)};
        d.insert(d.end(), bytes.begin() + pos, bytes.begin() + pos + n);
        d.push_back(static_cast<uint8_t>((more ? kTrailerMore : 0) | (sequence & 0x7F)));
        out.emplace_back(address, std::move(d));
        pos += n;
        ++sequence;
        if (!more)
            break;
    } while (true);
    return out;
}

ByteArrayAssembler::Result ByteArrayAssembler::feed(const Packet& packet) {
    const auto& d = packet.data;
    uint8_t trailer = d.back();
    uint8_t sequence = trailer & 0x7F;
    // Sequence 0 where another number was due: the host started the array
    // over (after a dropped link, say); the partial one is forgotten.
    const bool restart = active_ && sequence == 0 && next_ != 0;
    if (!active_ || d[0] != command_ || d[1] != option_ || restart) {
        // A new transfer starts with sequence 0; anything else is out of step.
        active_ = true;
        command_ = d[0];
        option_ = d[1];
        next_ = 0;
        bytes_.clear();
    }
    if (sequence != next_) {
        active_ = false;
        bytes_.clear();
        return Result::BadSequence;
    }
    bytes_.insert(bytes_.end(), d.begin() + 3, d.end() - 1);
    next_ = static_cast<uint8_t>((next_ + 1) & 0x7F);
    if (trailer & kTrailerMore)
        return Result::More;
    active_ = false;
    return Result::Done;
}

std::vector<uint8_t> ByteArrayAssembler::take() {
    std::vector<uint8_t> out;
    out.swap(bytes_);
    return out;
}

}  // namespace uei
}  // namespace modsim
