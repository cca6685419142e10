// The command callback table: handlers by 16-byte command code, newest
// first. Records are published with release stores so the listener can look
// codes up while the service registers; they are freed only by clear(),
// which the server calls after its listener has ended.
#pragma once

#include "kvhelper.h"

namespace kv::helper {

struct ServerCommandCallback {
    char key[16];                  // the code, bounded by 16 (no terminator at 16 characters)
    KvCommandHandler callback;
    ServerCommandCallback* next;
};

// 0, or -ENOMEM.
int command_table_add(const char* code, KvCommandHandler handler) noexcept;
// The newest handler whose key equals `key` over 16 bytes, or null.
KvCommandHandler command_table_find(const char* key) noexcept;
void command_table_clear() noexcept;

}  // namespace kv::helper
