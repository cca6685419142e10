// Kernel-command channel. Used only while hooks are installed, on the
// loader's thread, so the shared command buffer needs no lock. The open is
// non-blocking and refuses links: a FIFO or link planted under the command
// name must neither stall start-up nor lead anywhere.
#include "kernel_cmd.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "agent_channel.hpp"
#include "lifecycle.hpp"
#include "md_export.hpp"

namespace kv::md {
namespace {

constinit char g_kernel_cmd[kKernelCmdCapacity] = {};

// Scrambles and sends the n bytes formatted into g_kernel_cmd. The texts
// are formatted with the C library's formatter (the driver parses its "%p");
// that is sound here because commands are sent only during installation,
// never from a hook.
int send_command_buffer(std::int32_t seed, int n) noexcept {
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof g_kernel_cmd)
        return -ENAMETOOLONG;
    if (!scramble_command(g_kernel_cmd, static_cast<std::size_t>(n), seed))
        return -EINVAL;
    return send_kernel_cmd(g_kernel_cmd, static_cast<std::size_t>(n));
}

}  // namespace

bool scramble_command(char* text, std::size_t length, std::int32_t seed) noexcept {
    const auto add = static_cast<std::uint8_t>(seed);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<char>(static_cast<std::uint8_t>(text[i]) + add);
        if (c == '\0' || c == '/') {
            for (std::size_t k = 0; k < length; ++k)
                text[k] = '\0';
            return false;
        }
        text[i] = c;
    }
    return true;
}

int send_kernel_cmd(const char* text, std::size_t length) noexcept {
    const char* dir = agent_temp_dir();
    if (text == nullptr || length == 0 || dir[0] != '/')
        return -EINVAL;
    char path[kPathCapacity];
    std::size_t n = 0;
    const auto append = [&](const char* s, std::size_t len) {
        for (std::size_t i = 0; i < len && n + 1 < sizeof path; ++i)
            path[n++] = s[i];
    };
    append(dir, text_length(dir));
    append("KorMKC.", 7);
    const std::size_t prefix = n;
    append(text, length);
    if (n != prefix + length || n + 1 >= sizeof path)
        return -ENAMETOOLONG;
    path[n] = '\0';
    for (std::size_t i = prefix; i < n; ++i)
        if (path[i] == '\0' || path[i] == '/')
            return -EINVAL;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) {
        (void)close(fd);
        return -ENXIO;
    }
    return errno == kKernelAck ? 0 : -errno;
}

int kernel_mprotect(const void* address, std::size_t length, int protection) noexcept {
    const std::int32_t seed = g_crypt_seed.load(std::memory_order_acquire);
    if (seed == 0)
        return -EPERM;
    const int n = snprintf(g_kernel_cmd, sizeof g_kernel_cmd, "mprotect(%p,%u,%d)", address,
                           static_cast<unsigned>(length), protection);
    return send_command_buffer(seed, n);
}

int kernel_disable() noexcept {
    const std::int32_t seed = g_crypt_seed.load(std::memory_order_acquire);
    int r = -EPERM;
    if (seed != 0)
        r = send_command_buffer(seed, snprintf(g_kernel_cmd, sizeof g_kernel_cmd, "disableKorMKC(%d)",
                                               static_cast<int>(getpid())));
    // The channel closes for good, acknowledged or not.
    g_crypt_seed.store(0, std::memory_order_release);
    return r;
}

}  // namespace kv::md
