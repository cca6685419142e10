// Commands to the kernel driver: the command text, scrambled with the seed,
// becomes the name of a file in the temp directory; the driver answers by
// failing the open of that name with error number 200.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::md {

inline constexpr int kKernelAck = 200;
inline constexpr std::size_t kKernelCmdCapacity = 4096;

// Adds the low 8 bits of `seed` to every byte. False (and the text is
// cleared) when a byte would become 0 or '/', which cannot be in a name.
bool scramble_command(char* text, std::size_t length, std::int32_t seed) noexcept;

// Opens "<temp dir>KorMKC.<text>"; 0 when the driver acknowledged, else -errno
// (-ENXIO when the open succeeded, i.e. no driver is listening).
int send_kernel_cmd(const char* text, std::size_t length) noexcept;

int kernel_mprotect(const void* address, std::size_t length, int protection) noexcept;
int kernel_disable() noexcept;

}  // namespace kv::md
