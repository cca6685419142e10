// A stand-in for the system logger: binds /dev/log (only inside the test
// mount namespace, where /dev is private) and records every datagram.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::test {

struct LogLine {
    int priority = 0;      // LOG_ERR, LOG_INFO, ...
    int facility = 0;      // LOG_USER, LOG_DAEMON, ...
    std::string ident;
    std::string message;   // the text after "ident[pid]: "
};

class SyslogRecorder {
public:
    SyslogRecorder() = default;
    SyslogRecorder(const SyslogRecorder&) = delete;
    SyslogRecorder& operator=(const SyslogRecorder&) = delete;
    ~SyslogRecorder() { stop(); }

    // Binds `path` (default /dev/log) and starts recording; 0 or -errno.
    int start(const std::string& path = "/dev/log");
    void stop();

    std::vector<LogLine> lines() const;
    void clear();
    // Number of recorded messages equal to `message` (and of `priority`
    // when it is not -1).
    int count(const std::string& message, int priority = -1) const;
    // Waits up to `timeout` until `message` was recorded at least `n` times.
    bool wait_for(const std::string& message, std::chrono::milliseconds timeout, int n = 1) const;

private:
    void run();

    int fd_ = -1;
    std::string path_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<LogLine> lines_;
};

// A process-wide recorder on /dev/log, started on first use; null outside
// the test namespace.
SyslogRecorder* shared_syslog();

}  // namespace kv::test
