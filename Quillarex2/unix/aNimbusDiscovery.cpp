#include "unix/aDiscovery.h"

// Modules shared on the network are not reachable yet: network discovery
// finds none.
uint8_t aDiscovery_Enumerate_NimbusModules(aDiscoveryModuleFoundProc /*callback*/, void* /*ref*/,
                                           uint32_t /*networkInterface*/) {
    return 0;
}
