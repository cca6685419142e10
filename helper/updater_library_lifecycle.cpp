// What libkvcefhelper does when it is loaded and unloaded: nothing at load
// (no watchdog, no thread); at unload the single-instance lock's name is
// removed, but only by the process that created it, so an updater that
// loads and unloads the library leaves the running service's lock alone.
#include "instance_lock.hpp"

namespace {

[[gnu::destructor]] void kvcefhelper_unloading() noexcept { kv::helper::release_instance_lock_at_unload(); }

}  // namespace
