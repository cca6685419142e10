// The service's firewall check exported: on when the ip_tables module is
// loaded.
#include "kvhelper.h"
#include "security_state.hpp"

using namespace kv::helper;

extern "C" {

KV_EXPORT int IsFireWallOn(void) noexcept { return firewall_on() ? 1 : 0; }
KV_EXPORT int KvIsFireWallOn(void) noexcept { return IsFireWallOn(); }

}  // extern "C"
