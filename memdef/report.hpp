// Violation reports: the four parameters of an event, the event file, and
// the policy's response.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::md {

inline constexpr std::size_t kEventTextCapacity = 1024;

// Writes the event and applies the response; false when nothing was written
// (then no response is applied).
bool report_event(std::int32_t type, const char* text, std::int32_t* ret_action) noexcept;

// The four report kinds: the policy's action, or 1 when nothing was written.
std::int32_t report_stack_pivot(const char* api, const void* stack_address) noexcept;
std::int32_t report_stack_protect(const char* api, const void* address, std::size_t size, int permissions) noexcept;
std::int32_t report_zero_allocate(const char* api, const void* address, std::size_t size) noexcept;
std::int32_t report_dyld_inject(const char* api, const char* libraries) noexcept;

// Action 3: SIGTERM to the process group (only when it is above 1), then
// SIGKILL to the process. Returns 2 for action 3, otherwise the action.
std::int32_t do_event_response(std::int32_t action) noexcept;

}  // namespace kv::md
