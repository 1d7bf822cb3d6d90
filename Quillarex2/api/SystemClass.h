// The system entity (command 3): identity, addresses, measurements and
// settings of a module. Each operation is one get, set or call of its option.
#ifndef QUILLAREX_API_SYSTEMCLASS_H
#define QUILLAREX_API_SYSTEMCLASS_H

#include <cstddef>
#include <cstdint>

#include "api/Entity.h"

namespace Vexmoran {
namespace Quillarex {

class SystemClass : public EntityClass {
  public:
    aErr init(Module* module, uint8_t index);

    aErr getModule(uint8_t* value);                // option 1
    aErr setRouter(uint8_t value);                 // option 2
    aErr getRouter(uint8_t* value);                // option 2
    aErr setHBInterval(uint8_t value);             // option 3
    aErr getHBInterval(uint8_t* value);            // option 3
    aErr setLED(uint8_t value);                    // option 4
    aErr getLED(uint8_t* value);                   // option 4
    aErr setBootSlot(uint8_t value);               // option 6
    aErr getBootSlot(uint8_t* value);              // option 6
    aErr getVersion(uint32_t* value);              // option 7
    aErr getModel(uint8_t* value);                 // option 8
    aErr getSerialNumber(uint32_t* value);         // option 9
    aErr save();                                   // option 10
    aErr reset();                                  // option 11
    aErr getInputVoltage(uint32_t* value);         // option 12
    aErr getModuleHardwareOffset(uint8_t* value);  // option 13
    aErr getModuleBaseAddress(uint8_t* value);     // option 14
    aErr setModuleSoftwareOffset(uint8_t value);   // option 15
    aErr getModuleSoftwareOffset(uint8_t* value);  // option 15
    aErr getRouterAddressSetting(uint8_t* value);  // option 16
    aErr routeToMe(uint8_t value);                 // option 20
    aErr getInputCurrent(uint32_t* value);         // option 21
    aErr getUptime(uint32_t* value);               // option 22
    aErr getMaximumTemperature(int32_t* value);    // option 23
    aErr logEvents();                              // option 24
    aErr getUnregulatedVoltage(int32_t* value);    // option 25
    aErr getUnregulatedCurrent(int32_t* value);    // option 26
    aErr getTemperature(int32_t* value);           // option 27
    aErr getMinimumTemperature(int32_t* value);    // option 28
    aErr getInputPowerSource(uint8_t* value);      // option 29
    aErr setInputPowerBehavior(uint8_t value);     // option 30
    aErr getInputPowerBehavior(uint8_t* value);    // option 30
    aErr getPowerLimit(uint32_t* value);           // option 33
    aErr setPowerLimitMax(uint32_t value);         // option 34
    aErr getPowerLimitMax(uint32_t* value);        // option 34
    aErr getPowerLimitState(uint32_t* value);      // option 35
    aErr resetDeviceToFactoryDefaults();           // option 37
    aErr setLinkInterface(uint8_t value);          // option 38
    aErr getLinkInterface(uint8_t* value);         // option 38
    aErr getHardwareVersion(uint32_t* value);      // option 40
    aErr getErrors(uint32_t* value);               // option 41
    aErr setLEDMaxBrightness(uint8_t value);       // option 42
    aErr getLEDMaxBrightness(uint8_t* value);      // option 42
    aErr getBuild(uint32_t* value);                // option 43
    aErr getProtocolFeatures(uint32_t* value);     // option 45

    // Option 31: words as they lie in host memory, 4 bytes each. A get
    // answer that is not a whole number of words gives aErrMemory.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    // Option 32: the module's name (no terminator is added).
    aErr setName(const uint8_t* name, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* count);

  private:
    aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Quillarex
}  // namespace Vexmoran

#endif
