// Test fixture of the RPC tests (see rpc_fixture.hpp).
#include "rpc_fixture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <random>

#include "large_data.hpp"
#include "process.hpp"

namespace kv::rpc::test {

void Inbox::add(Received r) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(r));
    }
    cv_.notify_all();
}

bool Inbox::wait_for(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return items_.size() >= n; });
}

std::vector<Received> Inbox::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
}

Inbox& inbox() {
    static Inbox box;
    return box;
}

std::string unique_endpoint() {
    static std::atomic<int> counter{0};
    static const std::uint64_t salt = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) | device();
    }();
    return "kvrpc_test_" + std::to_string(salt) + "_" + std::to_string(counter++);
}

std::string pattern(std::size_t length, unsigned seed) {
    std::string out(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        out[i] = static_cast<char>((i + seed) % 251);
    return out;
}

std::vector<std::string> large_data_files() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kLargeDataDir, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

mqd_t open_raw_queue(const std::string& endpoint, int flags, long max_messages,
                     long message_size, mode_t mode) {
    mq_attr attributes{};
    attributes.mq_maxmsg = max_messages;
    attributes.mq_msgsize = message_size;
    const mode_t old_mask = umask(0);
    const mqd_t q = mq_open(("/" + endpoint).c_str(), flags, mode, &attributes);
    umask(old_mask);
    return q;
}

int send_raw(const std::string& endpoint, const std::string& bytes) {
    const mqd_t q = mq_open(("/" + endpoint).c_str(), O_WRONLY | O_NONBLOCK);
    if (q == static_cast<mqd_t>(-1))
        return errno;
    const int r = mq_send(q, bytes.data(), bytes.size(), 0) == 0 ? 0 : errno;
    mq_close(q);
    return r;
}

void RpcTest::SetUp() {
    if (!kv::test::in_test_namespace())
        GTEST_SKIP() << "needs tests/harness/nsrun.sh (private /dev/log and /opt/korvane)";
    log_ = kv::test::shared_syslog();
    ASSERT_NE(log_, nullptr);
    std::error_code ec;
    std::filesystem::remove_all(kLargeDataDir, ec);
    std::filesystem::create_directories("/opt/korvane/desktop", ec);
    ASSERT_FALSE(ec) << ec.message();
    log_->clear();
}

void RpcTest::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(kLargeDataDir, ec);
}

::testing::AssertionResult RpcTest::logged(const std::string& message,
                                           std::chrono::milliseconds timeout) {
    if (log_->wait_for(message, timeout) && log_->count(message, LOG_ERR) >= 1)
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "not logged at LOG_ERR: \"" << message
                                                 << "\"; recorded:";
    for (const auto& line : log_->lines())
        failure << "\n  <" << line.priority << "> " << line.message;
    return failure;
}

}  // namespace kv::rpc::test
