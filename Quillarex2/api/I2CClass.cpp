#include "api/I2CClass.h"

#include <algorithm>
#include <cstring>

#include "common/aPacket.h"

namespace Vexmoran {
namespace Quillarex {

namespace {
constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kStatusError = 0x80;
}  // namespace

aErr I2CClass::init(Module* module, uint8_t index) {
    return EntityClass::init(module, kCmdI2C, index);
}

// Sends request (command byte first) and waits for the reply that starts with
// match; checks its length and status byte (data byte 4).
aErr I2CClass::exchange(const uint8_t* request, uint8_t length, const uint8_t* match,
                        uint8_t matchLength, uint8_t* reply, uint8_t* replyLength) {
    aErr err = sendPacket(request[0], length - 1u, request + 1);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    err = receivePacket(match, replyLength, reply);
    if (err != aErrNone)
        return err;
    if (*replyLength <= 4)
        return aErrPacket;
    if (reply[4] & kStatusError)
        return static_cast<aErr>(reply[4] & 0x7F);
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > kMaxTransfer)
        return aErrSize;
    if (!buffer && length)
        return aErrParam;
    const uint8_t index = getIndex();
    const uint8_t request[] = {kCmdI2C, index, static_cast<uint8_t>(address | 1), length, m_speed};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    aErr err = exchange(request, sizeof request, request, 3, reply, &n);
    if (err != aErrNone)
        return err;
    size_t copy = std::min<size_t>({reply[3], length, static_cast<size_t>(n - 5u)});
    if (copy)
        std::memcpy(buffer, reply + 5, copy);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > kMaxTransfer)
        return aErrSize;
    if (!data && length)
        return aErrParam;
    uint8_t request[aPACKET_MAX_DATA] = {kCmdI2C, getIndex(), address, length, m_speed};
    if (length)
        std::memcpy(request + 5, data, length);
    const uint8_t match[] = {kCmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    return exchange(request, static_cast<uint8_t>(5 + length), match, sizeof match, reply, &n);
}

aErr I2CClass::setPullup(bool enable) {
    const uint8_t request[] = {kCmdI2C, getIndex(), 1, static_cast<uint8_t>(enable ? 1 : 0)};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    return exchange(request, sizeof request, request, 3, reply, &n);
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > kMaxSpeed)
        return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) {
    if (!speed)
        return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

}  // namespace Quillarex
}  // namespace Vexmoran
