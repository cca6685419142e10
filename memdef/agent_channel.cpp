// Temp-directory resolution. The buffer is written once, on the loader's
// thread before any hook is live, and only read afterwards; a second
// start-up leaves it as it is, so readers never see it change.
#include "agent_channel.hpp"

#include <limits.h>
#include <stdlib.h>

#include <atomic>

namespace kv::md {
namespace {

constinit char g_temp_dir[kPathCapacity] = {};
constinit std::atomic<bool> g_temp_dir_ready{false};

constexpr const char* kTempVariables[] = {"TMPDIR", "TMP", "TEMP", "TEMPDIR"};

}  // namespace

void get_temp_dir(char* buffer, std::size_t size) noexcept {
    if (buffer == nullptr || size == 0)
        return;
    const char* value = "/tmp";
    for (const char* name : kTempVariables) {
        // Environment-chosen directories are shared with whoever set them:
        // a set-user-id host must not follow them, and a relative or empty
        // value would put events wherever the host's working directory is.
        const char* v = secure_getenv(name);
        if (v != nullptr && v[0] == '/') {
            value = v;
            break;
        }
    }
    std::size_t n = 0;
    char resolved[PATH_MAX];
    if (size >= kPathCapacity && realpath(value, resolved) != nullptr)
        value = resolved;
    while (value[n] != '\0' && n + 1 < size) {
        buffer[n] = value[n];
        ++n;
    }
    buffer[n] = '\0';
    if (n + 1 < size && (n == 0 || buffer[n - 1] != '/')) {
        buffer[n++] = '/';
        buffer[n] = '\0';
    }
}

bool agent_preinit() noexcept {
    if (!g_temp_dir_ready.load(std::memory_order_acquire)) {
        get_temp_dir(g_temp_dir, sizeof g_temp_dir);
        g_temp_dir_ready.store(true, std::memory_order_release);
    }
    return true;
}

const char* agent_temp_dir() noexcept {
    return g_temp_dir_ready.load(std::memory_order_acquire) ? g_temp_dir : "";
}

}  // namespace kv::md
