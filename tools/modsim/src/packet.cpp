#include "modsim/packet.h"

namespace modsim {

std::vector<uint8_t> Packet::wire() const {
    std::vector<uint8_t> out;
    out.reserve(data.size() + 2);
    out.push_back(address);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

void PacketParser::reset() {
    current_ = Packet();
    haveAddress_ = false;
    haveLength_ = false;
    length_ = 0;
}

PacketParser::Result PacketParser::feed(uint8_t byte) {
    if (haveAddress_ && haveLength_ && current_.data.size() == length_)
        reset();
    if (!haveAddress_) {
        if (byte == 0)
            return Result::Error;
        current_.address = byte;
        haveAddress_ = true;
        return Result::NeedMore;
    }
    if (!haveLength_) {
        if (byte > kMaxPacketData) {
            reset();
            return Result::Error;
        }
        length_ = byte;
        haveLength_ = true;
        return length_ == 0 ? Result::Complete : Result::NeedMore;
    }
    current_.data.push_back(byte);
    return current_.data.size() == length_ ? Result::Complete : Result::NeedMore;
}

}  // namespace modsim
