#include "modsim/router.h"

#include "modsim/uei.h"

namespace modsim {

void I2CBus::handle(const Packet& packet, uint8_t address, Outcome& out, Counters& counters) {
    const auto& d = packet.data;
    if (d.size() < 4)
        return;
    const uint8_t index = d[1], target = d[2];
    auto reply = [&](std::vector<uint8_t> bytes) {
        out.replies.emplace_back(address, std::move(bytes));
    };
    const uint8_t nack = static_cast<uint8_t>(0x80 | kErrIO);
    if (target == 1) {  // pull-up setting
        return reply({kCmdI2C, index, 1, d[3], 0});
    }
    if (d.size() < 5)
        return;
    const uint8_t length = d[3];
    if (index != 0) {
        return reply({kCmdI2C, index, target, 0, static_cast<uint8_t>(0x80 | kErrIndexRange)});
    }
    if (target & 1) {  // read
        counters.inc("i2c_reads");
        if (length > kMaxI2CLength)
            return reply({kCmdI2C, index, target, 0, static_cast<uint8_t>(0x80 | kErrSize)});
        if (!presence_(static_cast<uint8_t>(target & 0xFE)))
            return reply({kCmdI2C, index, target, 0, nack});
        std::vector<uint8_t> r{kCmdI2C, index, target, length, 0};
        r.resize(r.size() + length, 0);
        return reply(r);
    }
    counters.inc("i2c_writes");
    if (length > kMaxI2CLength || d.size() < 5u + length)
        return reply({kCmdI2C, index, target, 0, static_cast<uint8_t>(0x80 | kErrSize)});
    if (!presence_(target))
        return reply({kCmdI2C, index, target, 0, nack});
    counters.inc("i2c_acks");
    reply({kCmdI2C, index, target, 0, 0});
}

}  // namespace modsim
