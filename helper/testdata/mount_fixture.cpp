// Bind and tmpfs mounts for fixtures, and the forked private-mount child.
#include "mount_fixture.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "coverage_counters.hpp"

namespace kv::test {

bool write_text_file(const std::string& path, const std::string& text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    (void)::fchmod(fd, mode);
    ::close(fd);
    return ok;
}

ScopedMount::~ScopedMount() {
    if (ok_)
        (void)::umount2(target_.c_str(), MNT_DETACH);
}

BindMount::BindMount(const std::string& source, const std::string& target)
    : ScopedMount(target, ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0) {}

TmpfsMount::TmpfsMount(const std::string& target, const std::string& options)
    : ScopedMount(target, ::mount("kv-test", target.c_str(), "tmpfs", 0,
                                  options.empty() ? nullptr : options.c_str()) == 0) {}

int run_in_private_mounts(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        coverage_child_started();
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(255);
        const int status = body() & 0xff;
        coverage_child_leaving();
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kv::test
