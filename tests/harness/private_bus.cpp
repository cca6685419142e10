// Private dbus-daemon: started with --nofork from the configuration generated
// in the build tree, its address and pid read from descriptors 3 and 4.
#include "private_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kv::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads one line from `fd` within the deadline; empty on timeout or EOF.
std::string read_line(int fd, Clock::time_point deadline) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return {};
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return {};
        line.append(buf, static_cast<std::size_t>(n));
    }
    line.resize(line.find('\n'));
    return line;
}

}  // namespace

PrivateBus::PrivateBus(Kind kind) : kind_(kind) {
    std::string pattern = kind == Kind::system ? "/tmp/kvsysbus.XXXXXX" : "/tmp/kvsessbus.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    // Unprivileged test users must reach the system bus socket.
    (void)chmod(dir_.c_str(), 0755);
    socket_path_ = dir_ + (kind == Kind::system ? "/system_bus_socket" : "/session_bus_socket");
    address_ = "unix:path=" + socket_path_;
}

PrivateBus::~PrivateBus() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

int PrivateBus::start() {
    if (pid_ > 0)
        return 0;
    (void)unlink(socket_path_.c_str());
    int address_pipe[2], pid_pipe[2];
    if (pipe2(address_pipe, O_CLOEXEC) != 0)
        return -errno;
    if (pipe2(pid_pipe, O_CLOEXEC) != 0) {
        const int e = errno;
        close(address_pipe[0]);
        close(address_pipe[1]);
        return -e;
    }
    // Above 4, so that the two dup2 actions cannot overwrite each other's source.
    for (int* fd : {&address_pipe[1], &pid_pipe[1]}) {
        const int high = fcntl(*fd, F_DUPFD_CLOEXEC, 10);
        if (high >= 0) {
            close(*fd);
            *fd = high;
        }
    }
    const std::string config = std::string("--config-file=") +
                               (kind_ == Kind::system ? KV_SYSTEM_BUS_CONFIG : KV_SESSION_BUS_CONFIG);
    const std::string address_arg = "--address=" + address_;
    std::string a0 = "/usr/bin/dbus-daemon", a1 = "--nofork", a4 = "--print-address=3", a5 = "--print-pid=4";
    std::string a2 = config, a3 = address_arg;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, address_pipe[1], 3);
    posix_spawn_file_actions_adddup2(&actions, pid_pipe[1], 4);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // Its only complaint in a sandbox is the fd limit it may not raise.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(address_pipe[1]);
    close(pid_pipe[1]);
    if (r != 0) {
        close(address_pipe[0]);
        close(pid_pipe[0]);
        return -r;
    }
    pid_ = pid;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const std::string printed_address = read_line(address_pipe[0], deadline);
    const std::string printed_pid = read_line(pid_pipe[0], deadline);
    close(address_pipe[0]);
    close(pid_pipe[0]);
    if (printed_address.empty() || std::atoi(printed_pid.c_str()) != pid_) {
        stop();
        return -ETIMEDOUT;
    }
    setenv(kind_ == Kind::system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
           address_.c_str(), 1);
    return 0;
}

void PrivateBus::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    for (;;) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            break;
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            (void)waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    (void)unlink(socket_path_.c_str());
}

PrivateBus& shared_system_bus() {
    static PrivateBus bus(PrivateBus::Kind::system);
    return bus;
}

void SystemBusEnvironment::SetUp() { ASSERT_EQ(shared_system_bus().start(), 0); }

void SystemBusEnvironment::TearDown() { shared_system_bus().stop(); }

}  // namespace kv::test
