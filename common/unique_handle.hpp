// Owners for C handles: a deleter that calls the handle's release function,
// and UniqueFd for descriptors. Release of null / -1 is a no-op.
#pragma once

#include <unistd.h>

#include <memory>
#include <utility>

namespace kv {

template <auto Free>
struct CallFree {
    template <class T>
    void operator()(T* p) const noexcept {
        if (p != nullptr)
            Free(p);
    }
};

template <class T, auto Free>
using UniquePtr = std::unique_ptr<T, CallFree<Free>>;

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0)
            (void)::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace kv
