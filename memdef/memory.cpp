// Memory-module lifecycle. The thread-slot mutex and the stack-lookup locks
// are constant-initialised where they are defined and never destroyed, so
// a second start-up neither re-initialises them nor clears thread slots
// whose threads have not started yet.
#include "memory.hpp"

namespace kv::md {

int memory_initialize() noexcept { return memory_hook(); }

int memory_hook() noexcept {
    int r = 0;
    if (g_HooksEnabled.load(std::memory_order_acquire) == 0)
        r = install_injects();
    g_HooksEnabled.store(1, std::memory_order_release);
    return r;
}

void memory_shutdown() noexcept { g_HooksEnabled.store(0, std::memory_order_release); }

void memory_coma() noexcept { g_HooksEnabled.store(0, std::memory_order_release); }

}  // namespace kv::md
