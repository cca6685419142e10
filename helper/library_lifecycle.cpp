// What libkvhelper does when it is loaded and unloaded. Load: the watchdog's
// mutex and condition, then its thread (agent service only); the library
// mutex is constant-initialised and so exists before either. Unload, in
// reverse: the library's own state first (the single-instance lock's
// handlers restored, its name removed if this process created it), then
// the watchdog is stopped and joined, and its mutex and condition destroyed.
#include "instance_lock.hpp"
#include "watchdog.hpp"

namespace {

[[gnu::constructor]] void kvhelper_loaded() noexcept { kv::helper::watchdog_load(); }

[[gnu::destructor]] void kvhelper_unloading() noexcept {
    kv::helper::release_instance_lock_at_unload();
    kv::helper::watchdog_unload();
}

}  // namespace
