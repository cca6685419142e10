// Authenticated-sender cache: fixed entries, no allocation.
#include "sender_cache.hpp"

#include <cstring>

namespace kv::helper {

void SenderCache::unlink(ServerImplAuthEntry& e) noexcept {
    e.prev->next = e.next;
    e.next->prev = e.prev;
    e.next = e.prev = nullptr;
    e.sender[0] = '\0';
}

void SenderCache::reset() noexcept {
    std::memset(ServerImplAuthEntries, 0, sizeof ServerImplAuthEntries);
    ServerImplAuthList.next = &ServerImplAuthList;
    ServerImplAuthList.prev = &ServerImplAuthList;
    ServerImplAuthList.sender[0] = '\0';
}

ServerImplAuthEntry* SenderCache::find(const char* sender) const noexcept {
    if (sender == nullptr || sender[0] == '\0')
        return nullptr;
    for (ServerImplAuthEntry* e = ServerImplAuthList.next; e != &ServerImplAuthList; e = e->next) {
        if (std::strncmp(e->sender, sender, sizeof e->sender) == 0 && std::strlen(sender) < sizeof e->sender)
            return e;
    }
    return nullptr;
}

bool SenderCache::contains(const char* sender) const noexcept { return find(sender) != nullptr; }

int SenderCache::add(const char* sender) noexcept {
    if (sender == nullptr || sender[0] == '\0')
        return kCacheFull;
    for (ServerImplAuthEntry& e : ServerImplAuthEntries) {
        if (e.sender[0] != '\0')
            continue;
        std::strncpy(e.sender, sender, sizeof e.sender - 1);
        e.sender[sizeof e.sender - 1] = '\0';
        e.prev = &ServerImplAuthList;
        e.next = ServerImplAuthList.next;
        ServerImplAuthList.next->prev = &e;
        ServerImplAuthList.next = &e;
        return 0;
    }
    return kCacheFull;
}

int SenderCache::add_once(const char* sender) noexcept { return contains(sender) ? 0 : add(sender); }

void SenderCache::remove(const char* sender) noexcept {
    ServerImplAuthEntry* e = find(sender);
    if (e == nullptr)
        return;
    unlink(*e);
}

void SenderCache::clear_except(const char* keep) noexcept {
    for (ServerImplAuthEntry& e : ServerImplAuthEntries) {
        if (e.sender[0] == '\0' || std::strcmp(e.sender, keep) == 0)
            continue;
        unlink(e);
    }
}

void SenderCache::remove_gone(const char* keep, bool (*gone)(const char*, void*), void* context) noexcept {
    for (ServerImplAuthEntry& e : ServerImplAuthEntries) {
        if (e.sender[0] == '\0' || std::strcmp(e.sender, keep) == 0 || !gone(e.sender, context))
            continue;
        unlink(e);
    }
}

int SenderCache::used() const noexcept {
    int n = 0;
    for (const ServerImplAuthEntry& e : ServerImplAuthEntries)
        n += e.sender[0] != '\0' ? 1 : 0;
    return n;
}

}  // namespace kv::helper
