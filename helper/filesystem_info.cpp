// statfs, /etc/mtab and /sys/block/<loop>/loop/backing_file.
#include "filesystem_info.hpp"

#include <mntent.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>

#include "file_open.hpp"

namespace kv::helper {
namespace {

constexpr std::size_t kMountEntryBuffer = 8448;

// The backing file of "/dev/loopN", or "" when it has none.
std::string loop_backing_file(const std::string& device) {
    const std::string path = "/sys/block/" + device.substr(std::strlen("/dev/")) + "/loop/backing_file";
    char line[4096];
    if (read_first_line(path.c_str(), line, sizeof line) != 0)
        return {};
    line[std::strcspn(line, "\n")] = '\0';
    return line;
}

bool search(const std::vector<MountEntry>& mounts, const std::string& start, int depth) {
    if (start.empty() || start[0] != '/' || depth > kMaxSearchDepth)
        return false;
    std::string prefix = start;
    if (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    // The root directory itself is never looked up.
    while (prefix.size() > 1) {
        const MountEntry* found = nullptr;
        for (const MountEntry& m : mounts) {
            if (m.directory == prefix) {
                found = &m;
                break;
            }
        }
        if (found == nullptr) {
            prefix.erase(prefix.rfind('/'));
            continue;
        }
        std::string source = found->device;
        if (source.rfind("/dev/loop", 0) == 0) {
            std::string backing = loop_backing_file(source);
            if (!backing.empty())
                source = std::move(backing);
        }
        FsInfo info{};
        if (filesystem_info(source.c_str(), &info) == 0) {
            if (filesystem_class(info.type) != FsClass::local)
                return true;
            if (source.rfind(prefix + "/", 0) != 0)
                return search(mounts, source, depth + 1);
        }
        return false;
    }
    return false;
}

}  // namespace

FsClass filesystem_class(std::uint32_t magic) noexcept {
    switch (magic) {
    case 0x517B:        // SMB
    case 0x6969:        // NFS
    case 0xBACBACBC:    // VMware shared folders
    case 0xFE534D42:    // SMB2
    case 0xFF534D42:    // CIFS
        return FsClass::network;
    case 0x7275:        // ROMFS
    case 0x9660:        // ISO 9660
    case 0x28CD3D45:    // cramfs
    case 0x73717368:    // squashfs
        return FsClass::image;
    default:
        return FsClass::local;
    }
}

int filesystem_info(const char* path, FsInfo* ret_info) noexcept {
    struct statfs s {};
    if (path == nullptr || ::statfs(path, &s) != 0)
        return path == nullptr ? -EINVAL : -errno;
    ret_info->type = static_cast<std::uint32_t>(s.f_type);
    ret_info->total_bytes = static_cast<std::uint64_t>(s.f_blocks) * static_cast<std::uint64_t>(s.f_bsize);
    ret_info->available_bytes = static_cast<std::uint64_t>(s.f_bavail) * static_cast<std::uint64_t>(s.f_bsize);
    ret_info->longest_name = static_cast<int>(s.f_namelen);
    return 0;
}

int read_mount_table(const char* path, std::vector<MountEntry>* ret_entries) noexcept {
    FilePtr f(::setmntent(path, "re"));
    if (!f)
        return -errno;
    std::vector<MountEntry> entries;
    std::vector<char> buffer(kMountEntryBuffer);
    mntent entry{};
    while (::getmntent_r(f.get(), &entry, buffer.data(), static_cast<int>(buffer.size())) != nullptr)
        entries.push_back(MountEntry{entry.mnt_fsname, entry.mnt_dir});
    // Newest first: the last mount on a directory is the one in effect.
    ret_entries->assign(entries.rbegin(), entries.rend());
    return 0;
}

bool has_remote_parent(const std::vector<MountEntry>& mounts, const std::string& path) noexcept {
    return search(mounts, path, 0);
}

int is_parent_path_local(const char* path) noexcept {
    FsInfo info{};
    if (filesystem_info(path, &info) != 0)
        return 1;
    if (filesystem_class(info.type) != FsClass::local)
        return 0;
    std::vector<MountEntry> mounts;
    if (read_mount_table("/etc/mtab", &mounts) != 0)
        return 1;
    return has_remote_parent(mounts, path) ? 0 : 1;
}

}  // namespace kv::helper
