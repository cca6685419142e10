// System-logger stand-in: parses "<pri>Mmm dd hh:mm:ss ident[pid]: text"
// datagrams as the C library's syslog() sends them.
#include "syslog_recorder.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "process.hpp"

namespace kv::test {
namespace {

LogLine parse(const std::string& raw) {
    LogLine line;
    std::size_t pos = 0;
    if (!raw.empty() && raw[0] == '<') {
        const std::size_t end = raw.find('>');
        if (end != std::string::npos) {
            const int pri = std::atoi(raw.substr(1, end - 1).c_str());
            line.priority = pri & 7;
            line.facility = pri & ~7;
            pos = end + 1;
        }
    }
    pos += 16;   // "Mmm dd hh:mm:ss "
    if (pos > raw.size())
        pos = raw.size();
    const std::size_t colon = raw.find(": ", pos);
    if (colon == std::string::npos) {
        line.message = raw.substr(pos);
        return line;
    }
    line.ident = raw.substr(pos, colon - pos);
    line.message = raw.substr(colon + 2);
    while (!line.message.empty() && (line.message.back() == '\n' || line.message.back() == '\0'))
        line.message.pop_back();
    return line;
}

}  // namespace

int SyslogRecorder::start(const std::string& path) {
    if (running_)
        return 0;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return -errno;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -ENAMETOOLONG;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    (void)unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        close(fd_);
        fd_ = -1;
        return -e;
    }
    (void)chmod(path.c_str(), 0666);   // unprivileged test processes log too
    const int big = 4 << 20;
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    path_ = path;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void SyslogRecorder::stop() {
    if (!running_)
        return;
    running_ = false;
    thread_.join();
    close(fd_);
    fd_ = -1;
    (void)unlink(path_.c_str());
}

void SyslogRecorder::run() {
    std::string buf(65536, '\0');
    while (running_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0)
            continue;
        LogLine line = parse(buf.substr(0, static_cast<std::size_t>(n)));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(std::move(line));
        }
        cv_.notify_all();
    }
}

std::vector<LogLine> SyslogRecorder::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void SyslogRecorder::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

int SyslogRecorder::count(const std::string& message, int priority) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_) {
        if (l.message == message && (priority < 0 || l.priority == priority))
            ++n;
    }
    return n;
}

bool SyslogRecorder::wait_for(const std::string& message, std::chrono::milliseconds timeout, int n) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        int found = 0;
        for (const auto& l : lines_)
            found += l.message == message ? 1 : 0;
        return found >= n;
    });
}

SyslogRecorder* shared_syslog() {
    if (!in_test_namespace())
        return nullptr;
    static SyslogRecorder* recorder = [] {
        auto* r = new SyslogRecorder;   // lives until exit: the logger outlives every test
        return r->start() == 0 ? r : nullptr;
    }();
    return recorder;
}

}  // namespace kv::test
