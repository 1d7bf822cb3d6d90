#include "unix/aStreamUSB.h"

// No USB back end is built in yet: no module is ever found on USB.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    if (serialNumber == 0 || stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    return aErrNotFound;
}
