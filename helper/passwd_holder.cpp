// The account-record holder.
#include "passwd_holder.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kv::helper {
namespace {
constexpr long kDefaultBufferSize = 16384;
}

void passwd_init(PasswdHolder* holder) noexcept {
    if (holder != nullptr)
        std::memset(holder, 0, sizeof *holder);
}

void passwd_destroy(PasswdHolder* holder) noexcept {
    if (holder == nullptr)
        return;
    std::free(holder->buffer);
    std::memset(holder, 0, sizeof *holder);
}

int passwd_lookup(uid_t uid, PasswdHolder* holder) noexcept {
    if (holder == nullptr)
        return -1;
    if (holder->buffer == nullptr) {
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        if (size <= 0 || size > 0x7fffffff)
            size = kDefaultBufferSize;
        holder->buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
        if (holder->buffer == nullptr)
            return -1;
        holder->size = static_cast<int>(size);
    }
    passwd* result = nullptr;
    const int r = ::getpwuid_r(uid, &holder->pwd, holder->buffer, static_cast<std::size_t>(holder->size), &result);
    if (r != 0)
        return r;
    if (result == nullptr) {
        passwd_destroy(holder);
        return -1;
    }
    return 0;
}

}  // namespace kv::helper
