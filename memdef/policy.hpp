// The violation policy: the active table of action bytes, its reader-writer
// lock, and the MEMDEF_POLICY text syntax.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memdef.h"

namespace kv::md {

inline constexpr std::uint32_t kBuiltinTypes = 23;       // count of the built-in table
inline constexpr std::uint32_t kPolicyPositions = 23;    // positions a policy text may set
inline constexpr std::int32_t kDefaultAction = MEMDEF_ACTION_REPORT;

// Result of parsing a policy text, before anything is applied.
struct PolicyText {
    std::int32_t actions[kPolicyPositions];
    std::uint32_t positions;      // positions read before ':' or the limit
    std::uint32_t valid;          // letters A..D among them
    std::int32_t log_level;       // -1 when the text sets none
    bool accepted;                // 2 * valid >= whole length
};

PolicyText parse_policy_text(const char* text, std::size_t length) noexcept;

void policy_set_caller_table(MemDefPolicyTable* table) noexcept;
void policy_initialize() noexcept;
void policy_shutdown() noexcept;
std::int32_t policy_get_for_type(std::int32_t type) noexcept;
std::uint32_t policy_set(const std::int32_t* actions, std::uint32_t n) noexcept;
std::uint32_t policy_set_from_string(const char* text, std::size_t length) noexcept;

}  // namespace kv::md
