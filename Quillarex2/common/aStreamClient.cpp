#include "common/aStreamClient.h"

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream) {
    (void)address;
    (void)port;
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    return aErrUnimplemented;
}
