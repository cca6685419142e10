// The authenticated-sender cache of the command server: 16 fixed entries
// holding bus names already verified, in a circular list with a head.
// Used only by the listener thread (and by start-up before it exists).
#pragma once

#include <cstddef>

namespace kv::helper {

struct ServerImplAuthEntry {
    ServerImplAuthEntry* next;
    ServerImplAuthEntry* prev;
    char sender[64];   // NUL-terminated bus name; first byte 0 = free
};

inline constexpr char kBusDaemonName[] = "org.freedesktop.DBus";

class SenderCache {
public:
    static constexpr int kEntries = 16;
    static constexpr int kCacheFull = 1;   // no free entry: not remembered

    SenderCache() noexcept { reset(); }
    SenderCache(const SenderCache&) = delete;
    SenderCache& operator=(const SenderCache&) = delete;

    // Frees every entry.
    void reset() noexcept;
    bool contains(const char* sender) const noexcept;
    // Remembers `sender` (cut to 63 bytes) after the head; 0, or kCacheFull.
    int add(const char* sender) noexcept;
    // Adds `sender` unless it is cached already.
    int add_once(const char* sender) noexcept;
    void remove(const char* sender) noexcept;
    // Frees every entry but the one holding `keep`.
    void clear_except(const char* keep) noexcept;
    // Frees every entry, but the one holding `keep`, whose name `gone(name,
    // context)` reports as no longer connected.
    void remove_gone(const char* keep, bool (*gone)(const char* sender, void* context), void* context) noexcept;
    int used() const noexcept;

private:
    ServerImplAuthEntry* find(const char* sender) const noexcept;
    static void unlink(ServerImplAuthEntry& e) noexcept;

    ServerImplAuthEntry ServerImplAuthEntries[kEntries];
    ServerImplAuthEntry ServerImplAuthList;
};

}  // namespace kv::helper
