// Command callback table.
#include "command_table.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kv::helper {
namespace {

constinit std::atomic<ServerCommandCallback*> g_head{nullptr};

}  // namespace

int command_table_add(const char* code, KvCommandHandler handler) noexcept {
    auto* record = static_cast<ServerCommandCallback*>(std::calloc(1, sizeof(ServerCommandCallback)));
    if (record == nullptr)
        return -ENOMEM;
    std::memcpy(record->key, code, strnlen(code, sizeof record->key));
    record->callback = handler;
    record->next = g_head.load(std::memory_order_relaxed);
    while (!g_head.compare_exchange_weak(record->next, record, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    return 0;
}

KvCommandHandler command_table_find(const char* key) noexcept {
    if (key == nullptr)
        return nullptr;
    char wanted[16] = {};
    std::memcpy(wanted, key, strnlen(key, sizeof wanted));
    for (ServerCommandCallback* r = g_head.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        if (std::memcmp(r->key, wanted, sizeof wanted) == 0)
            return r->callback;
    }
    return nullptr;
}

void command_table_clear() noexcept {
    ServerCommandCallback* r = g_head.exchange(nullptr, std::memory_order_acq_rel);
    while (r != nullptr) {
        ServerCommandCallback* next = r->next;
        std::free(r);
        r = next;
    }
}

}  // namespace kv::helper
