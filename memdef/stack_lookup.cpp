// Stack lookup. Lock order: array lock, then pending lock. Checks never wait
// on the pending lock and skip the array lock on the thread that holds it
// for writing, so a hook entered from the allocator while the array grows
// cannot deadlock. The array grows one slot at a time and never shrinks.
#include "stack_lookup.hpp"

#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>

namespace kv::md {

constinit std::atomic<std::int32_t> g_stacklookup_count{0};

namespace {

// Locks are constant-initialised and never destroyed: hooks may be
// entering them at any time, during shutdown too.
constinit pthread_rwlock_t g_array_lock = PTHREAD_RWLOCK_INITIALIZER;
constinit pthread_rwlock_t g_pending_lock = PTHREAD_RWLOCK_INITIALIZER;
constinit std::uintptr_t* g_entries = nullptr;      // under g_array_lock
constinit std::int32_t g_capacity = 0;              // under g_array_lock
constinit std::atomic<std::uintptr_t> g_pending{0};
constinit std::atomic<std::uintptr_t> g_writer{0};  // pthread_self() of the write-lock holder, or 0
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<std::int32_t>::is_always_lock_free);
static_assert(sizeof(pthread_t) == sizeof(std::uintptr_t));

std::uintptr_t self() noexcept { return static_cast<std::uintptr_t>(pthread_self()); }

void lock_for_writing() noexcept {
    (void)pthread_rwlock_wrlock(&g_array_lock);
    g_writer.store(self(), std::memory_order_relaxed);
}

void unlock_writing() noexcept {
    g_writer.store(0, std::memory_order_relaxed);
    (void)pthread_rwlock_unlock(&g_array_lock);
}

void set_pending(std::uintptr_t address) noexcept {
    (void)pthread_rwlock_wrlock(&g_pending_lock);
    g_pending.store(address, std::memory_order_release);
    (void)pthread_rwlock_unlock(&g_pending_lock);
}

}  // namespace

int stacklookup_add(std::uintptr_t address) noexcept {
    lock_for_writing();
    const std::int32_t count = g_stacklookup_count.load(std::memory_order_relaxed) + 1;
    if (count > g_capacity) {
        set_pending(address);
        auto* grown = static_cast<std::uintptr_t*>(realloc(g_entries, sizeof(std::uintptr_t) * std::size_t(count)));
        set_pending(0);
        if (grown == nullptr) {      // the old array stays valid and in use
            unlock_writing();
            return -ENOMEM;
        }
        grown[count - 1] = 0;
        g_entries = grown;
        g_capacity = count;
    }
    for (std::int32_t i = 0; i < g_capacity; ++i) {
        if (g_entries[i] == 0) {
            g_entries[i] = address;
            break;
        }
    }
    g_stacklookup_count.store(count, std::memory_order_release);
    unlock_writing();
    return 0;
}

void stacklookup_remove(std::uintptr_t address) noexcept {
    lock_for_writing();
    for (std::int32_t i = 0; i < g_capacity; ++i) {
        if (g_entries[i] == address) {
            g_entries[i] = 0;
            g_stacklookup_count.store(g_stacklookup_count.load(std::memory_order_relaxed) - 1, std::memory_order_release);
            break;
        }
    }
    unlock_writing();
}

bool stacklookup_check_registered(std::uintptr_t sp) noexcept {
    if (g_writer.load(std::memory_order_relaxed) == self())
        return true;
    const std::uintptr_t hi = sp + kStackLookupWindow;
    if (g_pending.load(std::memory_order_acquire) != 0 && pthread_rwlock_tryrdlock(&g_pending_lock) == 0) {
        const std::uintptr_t pending = g_pending.load(std::memory_order_acquire);
        (void)pthread_rwlock_unlock(&g_pending_lock);
        if (sp < pending && pending <= hi)
            return true;
    }
    bool found = false;
    (void)pthread_rwlock_rdlock(&g_array_lock);
    for (std::int32_t i = 0; i < g_capacity && !found; ++i) {
        const std::uintptr_t slot = g_entries[i];
        found = slot != 0 && sp < slot && slot <= hi;
    }
    (void)pthread_rwlock_unlock(&g_array_lock);
    return found;
}

}  // namespace kv::md
