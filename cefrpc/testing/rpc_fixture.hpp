// Shared pieces of the RPC tests: unique queue names, the large-data
// directory on the namespace's private /opt/korvane, raw queues, and an
// inbox that server callbacks (plain C function pointers) record into.
#pragma once

#include <gtest/gtest.h>
#include <mqueue.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "syslog_recorder.hpp"

namespace kv::rpc::test {

using namespace std::chrono_literals;

// A received request as a callback saw it; `server` tells which callback.
struct Received {
    char server = 0;
    std::uint32_t message_id = 0;
    std::string name;
    std::uint64_t name_length = 0;
    std::string payload;
    std::uint64_t payload_length = 0;
};

class Inbox {
public:
    void add(Received r);
    // Waits up to `timeout` until at least n requests arrived.
    bool wait_for(std::size_t n, std::chrono::milliseconds timeout) const;
    std::vector<Received> all() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Received> items_;
};

Inbox& inbox();

// Callbacks that record into inbox() under their letter.
template <char Server>
void record_request(std::uint32_t message_id, const char* name, std::uint64_t name_length,
                    const void* payload, std::uint64_t payload_length) {
    inbox().add({Server, message_id, name, name_length,
                 std::string(static_cast<const char*>(payload), payload_length), payload_length});
}

// An endpoint name no other test process (other namespaces included: the
// queue namespace is the machine's) is using.
std::string unique_endpoint();

// Bytes 0, 1, 2, ... of the given length, cycling through 251 values.
std::string pattern(std::size_t length, unsigned seed = 0);

// Names of the entries of the large-data directory (empty when missing).
std::vector<std::string> large_data_files();

// Opens "/" + endpoint as a raw queue with the given attributes.
mqd_t open_raw_queue(const std::string& endpoint, int flags, long max_messages = 10,
                     long message_size = 7168, mode_t mode = 0644);

// Sends raw bytes into "/" + endpoint; 0 or errno.
int send_raw(const std::string& endpoint, const std::string& bytes);

// Fixture: needs the test namespace (syslog, /opt/korvane), creates
// /opt/korvane/desktop, and clears the log and the large-data directory.
class RpcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    kv::test::SyslogRecorder& log() { return *log_; }
    // True when `message` was logged at LOG_ERR within the timeout.
    ::testing::AssertionResult logged(const std::string& message,
                                      std::chrono::milliseconds timeout = 3000ms);

private:
    kv::test::SyslogRecorder* log_ = nullptr;
};

}  // namespace kv::rpc::test
