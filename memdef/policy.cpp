// Policy state. Lock order: the policy lock is a leaf; nothing else is taken
// while it is held. The lock is constant-initialised and never destroyed:
// hooks on other threads may be inside policy_get_for_type at any moment,
// including during and after shutdown.
#include "policy.hpp"

#include <pthread.h>
#include <stdlib.h>

#include <atomic>

#include "lifecycle.hpp"

namespace kv::md {
namespace {

constexpr std::uint32_t kFlagInitialised = 1;
constexpr std::uint32_t kFlagShutDown = 2;
constexpr std::uint32_t kFlagApplied = 4;

// The built-in table: room for more slots than its count of 23.
struct BuiltinTable {
    std::uint32_t count;
    std::uint8_t actions[32];
};

constinit BuiltinTable g_builtin{};
constinit std::atomic<MemDefPolicyTable*> g_active{nullptr};
constinit std::atomic<std::uint32_t> g_flags{0};
constinit std::atomic<std::uint32_t> g_caller_supplied{0};
constinit pthread_rwlock_t g_policy_lock = PTHREAD_RWLOCK_INITIALIZER;
static_assert(std::atomic<MemDefPolicyTable*>::is_always_lock_free);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

MemDefPolicyTable* builtin_table() noexcept { return reinterpret_cast<MemDefPolicyTable*>(&g_builtin); }

// Action bytes are read without the lock after shutdown, so every access is
// a relaxed atomic byte access rather than a plain one.
std::uint8_t* slots(MemDefPolicyTable* table) noexcept {
    return reinterpret_cast<std::uint8_t*>(table) + offsetof(MemDefPolicyTable, actions);
}
void store_slot(MemDefPolicyTable* table, std::uint32_t i, std::int32_t action) noexcept {
    __atomic_store_n(&slots(table)[i], static_cast<std::uint8_t>(action), __ATOMIC_RELAXED);
}
std::uint8_t load_slot(MemDefPolicyTable* table, std::uint32_t i) noexcept {
    return __atomic_load_n(&slots(table)[i], __ATOMIC_RELAXED);
}

bool is_action(std::int32_t a) noexcept { return a >= MEMDEF_ACTION_ALLOW && a <= MEMDEF_ACTION_KILL; }

}  // namespace

PolicyText parse_policy_text(const char* text, std::size_t length) noexcept {
    PolicyText r{};
    r.log_level = -1;
    std::size_t p = 0;
    for (; p < length && p < kPolicyPositions && text[p] != ':'; ++p) {
        const char c = text[p];
        if (c >= 'A' && c <= 'D') {
            r.actions[p] = c - 'A';
            ++r.valid;
        } else {
            r.actions[p] = kDefaultAction;
        }
    }
    r.positions = static_cast<std::uint32_t>(p);
    // The level letter must itself lie inside the text's length.
    if (p + 1 < length && text[p] == ':' && text[p + 1] >= 'A' && text[p + 1] <= 'D')
        r.log_level = text[p + 1] - 'A';
    r.accepted = 2 * static_cast<std::uint64_t>(r.valid) >= length;
    return r;
}

void policy_set_caller_table(MemDefPolicyTable* table) noexcept {
    g_caller_supplied.store(1, std::memory_order_relaxed);
    if (table != nullptr)
        g_active.store(table, std::memory_order_release);
}

void policy_initialize() noexcept {
    (void)pthread_rwlock_wrlock(&g_policy_lock);
    if (g_active.load(std::memory_order_acquire) == nullptr) {
        g_builtin.count = kBuiltinTypes;
        for (std::uint32_t i = 0; i + 1 < kBuiltinTypes; ++i)
            store_slot(builtin_table(), i, MEMDEF_ACTION_ALLOW);
        g_active.store(builtin_table(), std::memory_order_release);
    }
    g_flags.fetch_or(kFlagInitialised, std::memory_order_release);
    (void)pthread_rwlock_unlock(&g_policy_lock);

    const char* env = getenv("MEMDEF_POLICY");
    if (env != nullptr && g_caller_supplied.load(std::memory_order_relaxed) == 0 &&
        g_active.load(std::memory_order_acquire) == builtin_table()) {
        std::size_t n = 0;
        while (env[n] != '\0')
            ++n;
        (void)policy_set_from_string(env, n);
    }
}

void policy_shutdown() noexcept {
    // The lock stays: readers switch to lock-free reads once the flag is seen.
    g_flags.fetch_or(kFlagShutDown, std::memory_order_release);
}

std::int32_t policy_get_for_type(std::int32_t type) noexcept {
    const std::uint32_t flags = g_flags.load(std::memory_order_acquire);
    MemDefPolicyTable* table = g_active.load(std::memory_order_acquire);
    if ((flags & kFlagInitialised) == 0 || table == nullptr || type <= 0 ||
        static_cast<std::uint32_t>(type) >= table->count)
        return kDefaultAction;
    if ((flags & kFlagShutDown) != 0)
        return load_slot(table, static_cast<std::uint32_t>(type) - 1);
    (void)pthread_rwlock_rdlock(&g_policy_lock);
    const std::int32_t action = load_slot(table, static_cast<std::uint32_t>(type) - 1);
    (void)pthread_rwlock_unlock(&g_policy_lock);
    return action;
}

std::uint32_t policy_set(const std::int32_t* actions, std::uint32_t n) noexcept {
    if ((g_flags.load(std::memory_order_acquire) & kFlagInitialised) == 0)
        return 0;
    MemDefPolicyTable* table = g_active.load(std::memory_order_acquire);
    std::uint32_t applied = 0;
    (void)pthread_rwlock_wrlock(&g_policy_lock);
    for (std::uint32_t i = 0; actions != nullptr && i < n && i < table->count; ++i) {
        if (is_action(actions[i])) {
            store_slot(table, i, actions[i]);
            ++applied;
        } else {
            store_slot(table, i, kDefaultAction);
        }
    }
    (void)pthread_rwlock_unlock(&g_policy_lock);
    g_flags.fetch_or(kFlagApplied, std::memory_order_release);
    return applied;
}

std::uint32_t policy_set_from_string(const char* text, std::size_t length) noexcept {
    if (text == nullptr)
        return 0;
    const PolicyText parsed = parse_policy_text(text, length);
    if (parsed.log_level >= 0)
        log_set_level(parsed.log_level);      // even when the text is rejected
    if (!parsed.accepted)
        return 0;
    // The first `valid` positions are applied, not the valid ones.
    return policy_set(parsed.actions, parsed.valid);
}

}  // namespace kv::md
