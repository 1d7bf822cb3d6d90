// A COBS frame as a module sends it on a serial link: the packet, its CRC-8,
// COBS-encoded, then the 0x00 delimiter.
#ifndef TESTS_SUPPORT_COBS_FRAME_H
#define TESTS_SUPPORT_COBS_FRAME_H

#include <cstdint>
#include <vector>

#include "common/aCOBS.h"
#include "common/aCRC8.h"

namespace qxtest {

inline std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> payload = packet;
    payload.push_back(crc8_create(packet.data(), packet.size()));
    std::vector<uint8_t> frame(COBS_ENCODED_MAX(payload.size()));
    frame.resize(cobs_encode(payload.data(), payload.size(), frame.data()));
    frame.push_back(0x00);
    return frame;
}

}  // namespace qxtest

#endif
