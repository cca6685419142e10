// The monotonic clock of the state machine's time rules, in microseconds.
// The program links mono_clock.cpp; a test-only build of the same sources
// links a clock that the test can move forward instead.
#pragma once

#include <cstdint>

namespace kv::ui {

std::int64_t monotonic_us() noexcept;

}  // namespace kv::ui
