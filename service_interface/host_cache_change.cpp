// HostCache change detection with GLib's MD5.
#include "host_cache_change.hpp"

#include <glib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "host_cache.hpp"
#include "trace.hpp"

namespace kv::svc {

FileChange hostcache_file_changed_bytes(const char* path, std::string* remembered, std::size_t max_bytes,
                                        std::string* ret_bytes, bool* ret_read_failed) noexcept {
    ret_bytes->clear();
    *ret_read_failed = false;
    struct stat st {};
    if (stat(path, &st) != 0) {
        trace("error: failed to stat file: %s:%s\n", path, std::strerror(errno));
        *ret_read_failed = true;
        return FileChange::changed;
    }
    if (st.st_size < 1)
        return FileChange::changed;
    std::string bytes;
    if (const int r = read_whole_file(path, &bytes, max_bytes); r < 0) {
        if (r == -EIO)
            trace("error: failed to read from file: %s:%s\n", path, "short read");
        else if (r == -EFBIG)
            trace("error: failed to read from file: %s:%s\n", path, std::strerror(EFBIG));
        else
            trace("error: failed to open file: %s:%s\n", path, std::strerror(-r));
        *ret_read_failed = true;
        return FileChange::changed;
    }
    gchar* sum = g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(bytes.data()),
                                             bytes.size());
    if (sum == nullptr) {
        trace("error: checksum failed\n");
        *ret_read_failed = true;
        return FileChange::changed;
    }
    const bool same = !remembered->empty() && *remembered == sum;
    if (!same)
        remembered->assign(sum);
    g_free(sum);
    if (same)
        return FileChange::unchanged;
    *ret_bytes = std::move(bytes);
    return FileChange::changed;
}

FileChange hostcache_file_changed(const char* path, std::string* remembered, JsonPtr* ret_parsed) noexcept {
    std::string bytes;
    bool read_failed = false;
    if (hostcache_file_changed_bytes(path, remembered, SIZE_MAX, &bytes, &read_failed) == FileChange::unchanged)
        return FileChange::unchanged;
    *ret_parsed = nullptr;
    if (read_failed || bytes.empty())
        return FileChange::changed;
    *ret_parsed = parse_json_bytes(bytes);
    if (*ret_parsed == nullptr)
        trace("Unable to parse '%s'\n", path);
    return FileChange::changed;
}

}  // namespace kv::svc
