// Where a path's storage lives: statfs facts, the network and read-only
// image filesystem classes, and the search through the mount table and loop
// devices for a remote parent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::helper {

enum class FsClass { local, network, image };

// The class of a statfs magic number.
FsClass filesystem_class(std::uint32_t magic) noexcept;

struct FsInfo {
    std::uint32_t type;
    std::uint64_t total_bytes;
    std::uint64_t available_bytes;
    int longest_name;
};
// 0, or -errno when the path cannot be examined.
int filesystem_info(const char* path, FsInfo* ret_info) noexcept;

struct MountEntry {
    std::string device;
    std::string directory;
};

// The mount table at `path`, newest entry first. 0, or -errno.
int read_mount_table(const char* path, std::vector<MountEntry>* ret_entries) noexcept;

// Searches upward from `path` for the mount it lies on and follows its
// source (a loop device's backing file included) to a network or image
// filesystem. Stops after kMaxSearchDepth nested searches (a bind-mount
// cycle), answering that no remote parent was found.
inline constexpr int kMaxSearchDepth = 32;
bool has_remote_parent(const std::vector<MountEntry>& mounts, const std::string& path) noexcept;

// 1 local (also on any failure), 0 not local.
int is_parent_path_local(const char* path) noexcept;

}  // namespace kv::helper
