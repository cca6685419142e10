// The shipped clock: GLib's monotonic time, nothing else.
#include "mono_clock.hpp"

#include <glib.h>

namespace kv::ui {

std::int64_t monotonic_us() noexcept { return g_get_monotonic_time(); }

}  // namespace kv::ui
