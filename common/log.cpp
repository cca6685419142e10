// Syslog output shared by the project's C++ code (memdef logs nothing and
// does not link this).
#include "log.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace kv {
namespace {

constexpr char kLogSocket[] = "/dev/log";
constexpr int kMessageMax = 8192;

// The socket of log_as(), connected on first use and again after the
// logger went away; guarded by its mutex.
struct IdentSocket {
    std::mutex mutex;
    int fd = -1;
};
constinit IdentSocket g_socket;

int connect_logger() noexcept {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, kLogSocket, sizeof kLogSocket);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        (void)::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void log_at(int priority, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void log_as(const char* ident, int facility_priority, const char* format, ...) noexcept {
    // setlogmask(0) reads the mask without changing it.
    if ((LOG_MASK(LOG_PRI(facility_priority)) & ::setlogmask(0)) == 0)
        return;
    char message[kMessageMax];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    (void)::localtime_r(&now, &local);
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%h %e %T", &local) == 0)
        stamp[0] = '\0';
    int n = std::snprintf(message, sizeof message, "<%d>%s %s[%d]: ", facility_priority, stamp, ident,
                          static_cast<int>(::getpid()));
    if (n < 0 || n >= kMessageMax)
        return;
    va_list args;
    va_start(args, format);
    const int body = std::vsnprintf(message + n, sizeof message - static_cast<std::size_t>(n), format, args);
    va_end(args);
    if (body < 0)
        return;
    const std::size_t length = std::strlen(message);   // a longer message is cut to the buffer

    std::lock_guard<std::mutex> lock(g_socket.mutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (g_socket.fd < 0)
            g_socket.fd = connect_logger();
        if (g_socket.fd < 0)
            return;
        if (::send(g_socket.fd, message, length, MSG_NOSIGNAL) >= 0)
            return;
        // The logger restarted (ECONNREFUSED, ENOTCONN): reconnect once.
        (void)::close(g_socket.fd);
        g_socket.fd = -1;
    }
}

}  // namespace kv
