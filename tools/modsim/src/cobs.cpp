#include "modsim/cobs.h"

namespace modsim {

uint8_t crc8(const uint8_t* bytes, std::size_t count) {
    uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
    }
    return crc;
}

std::vector<uint8_t> cobsEncode(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    out.reserve(in.size() + in.size() / 254 + 2);
    std::size_t codeAt = out.size();
    out.push_back(0);
    uint8_t code = 1;
    for (uint8_t byte : in) {
        if (byte == 0) {
            out[codeAt] = code;
            codeAt = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(byte);
        if (++code == 0xFF) {
            out[codeAt] = code;
            codeAt = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[codeAt] = code;
    return out;
}

std::optional<std::vector<uint8_t>> cobsDecode(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    std::size_t i = 0;
    while (i < in.size()) {
        uint8_t code = in[i++];
        if (code == 0)
            return std::nullopt;
        if (i + code - 1 > in.size())
            return std::nullopt;
        for (uint8_t k = 1; k < code; ++k) {
            if (in[i] == 0)
                return std::nullopt;
            out.push_back(in[i++]);
        }
        if (code != 0xFF && i < in.size())
            out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> encodeFrame(const Packet& packet) {
    std::vector<uint8_t> payload = packet.wire();
    payload.push_back(crc8(payload.data(), payload.size()));
    std::vector<uint8_t> frame = cobsEncode(payload);
    frame.push_back(0);
    return frame;
}

FrameDecoder::Result FrameDecoder::feed(uint8_t byte) {
    if (byte != 0) {
        if (frame_.size() < kMaxFrame)
            frame_.push_back(byte);
        else
            overlong_ = true;
        return Result::NeedMore;
    }
    if (frame_.empty())
        return Result::NeedMore;  // repeated delimiters
    std::vector<uint8_t> raw;
    raw.swap(frame_);
    if (overlong_) {
        overlong_ = false;
        return Result::Bad;
    }
    auto decoded = cobsDecode(raw);
    if (!decoded || decoded->size() < 3)
        return Result::Bad;
    const std::vector<uint8_t>& d = *decoded;
    if (d[0] == 0 || d[1] > kMaxPacketData || d.size() != static_cast<std::size_t>(d[1]) + 3)
        return Result::Bad;
    if (crc8(d.data(), d.size() - 1) != d.back())
        return Result::Bad;
    packet_ = Packet(d[0], std::vector<uint8_t>(d.begin() + 2, d.end() - 1));
    return Result::Complete;
}

}  // namespace modsim
