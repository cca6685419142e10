// What the updater's library exports beyond what it shares with
// libkvhelper (system facts, ELF, pids, ownership, copy, the lock): its
// firewall check by the iptables listing, extraction through its own runner
// and its updater-directory removal.
#include "archive_extract.hpp"
#include "kvcefhelper.h"
#include "security_state.hpp"
#include "updater_command_runner.hpp"
#include "updater_directory.hpp"

using namespace kv::helper;

namespace {

// What the updater leaves in its working directory: the updater service,
// this library and the runtime's POSIX support library.
constexpr const char* kUpdaterServiceFiles[] = {"kvupdatesvc", "libkvcefhelper.so", kRuntimePosixLibrary};

}  // namespace

extern "C" {

KV_EXPORT int IsFireWallOn(void) noexcept { return firewall_rules_active() ? 1 : 0; }
KV_EXPORT int KvIsFireWallOn(void) noexcept { return IsFireWallOn(); }

KV_EXPORT int Decompress(const char* archive) noexcept {
    return decompress_beside(kUpdaterExtractPolicy, archive) == 0 ? 1 : 0;
}

KV_EXPORT int SelfExtractor(const char* command, const char* archive, const char* destination) noexcept {
    return self_extract(kUpdaterExtractPolicy, command, archive, destination) == 0 ? 0 : -1;
}

KV_EXPORT int KvUpdaterRemoveTmpDir(void) noexcept {
    return remove_updater_directory(kUpdaterServiceFiles) == 0 ? 0 : -1;
}

}  // extern "C"
