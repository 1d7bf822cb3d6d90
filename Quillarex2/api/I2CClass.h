// The I2C entity (command 8) of a router module: reads and writes on its I2C
// bus and the bus pull-ups, through raw packets.
#ifndef QUILLAREX_API_I2CCLASS_H
#define QUILLAREX_API_I2CCLASS_H

#include <cstdint>

#include "api/Entity.h"

namespace Vexmoran {
namespace Quillarex {

class I2CClass : public EntityClass {
  public:
    aErr init(Module* module, uint8_t index);

    // At most 23 bytes (aErrSize). aErrPacket for a short reply; a reply
    // status with bit 7 set gives its low 7 bits (the module's error code).
    // read copies no more than length bytes, nor more than the reply holds.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool enable);

    // Bus speed 0 to 3 (aErrParam otherwise), sent with later requests.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed);

  private:
    aErr exchange(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t m_speed = 0;
};

}  // namespace Quillarex
}  // namespace Vexmoran

#endif
