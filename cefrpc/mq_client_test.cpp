// The client against real queues it does not own: connection failures,
// argument checks, inline and large-data requests as the bytes arrive, and
// encoding and sending failures with their log lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mqueue.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "cefrpc.h"
#include "testing/rpc_fixture.hpp"

namespace kv::rpc::test {
namespace {

// A queue the test reads raw, as a server would own it.
class RawQueue {
public:
    explicit RawQueue(long message_size = 7168)
        : endpoint_(unique_endpoint()),
          queue_(open_raw_queue(endpoint_, O_RDONLY | O_CREAT | O_EXCL | O_NONBLOCK, 10,
                                message_size)) {}
    ~RawQueue() {
        mq_close(queue_);
        mq_unlink(("/" + endpoint_).c_str());
    }
    bool ok() const { return queue_ != static_cast<mqd_t>(-1); }
    const std::string& endpoint() const { return endpoint_; }
    // The next message, or "" when none is waiting.
    std::string receive() const {
        std::string buffer(8192, '\0');
        const ssize_t n = mq_receive(queue_, buffer.data(), buffer.size(), nullptr);
        return n < 0 ? std::string() : buffer.substr(0, static_cast<std::size_t>(n));
    }

private:
    std::string endpoint_;
    mqd_t queue_;
};

struct Message {
    std::uint32_t code = 0, id = 0;
    const char* name = nullptr;
    const void* payload = nullptr;
    std::uint64_t length = 0;
    std::uint8_t large = 0;
};

Message decode(const std::string& bytes) {
    Message m;
    EXPECT_EQ(cefDecodeTLVBuffer(bytes.data(), bytes.size(), &m.code, &m.id, &m.name, &m.payload,
                                 &m.length, &m.large),
              0);
    return m;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

using Client = RpcTest;

TEST_F(Client, StartOnAMissingQueueFailsWithBothLogLines) {
    const std::string endpoint = unique_endpoint();
    std::uint64_t handle = 0;
    EXPECT_EQ(CefStartClient(endpoint.c_str(), &handle), 3);
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(logged("CefRPCClientHelper.CefStartClient: Queue Connection Error 2 "
                       "(No such file or directory)"));
    EXPECT_TRUE(logged("Unable to create endpoint: /" + endpoint));
    EXPECT_EQ(mq_open(("/" + endpoint).c_str(), O_RDONLY), static_cast<mqd_t>(-1))
        << "a client never creates the queue";
}

TEST_F(Client, StartRejectsMissingArguments) {
    std::uint64_t handle = 0;
    EXPECT_EQ(CefStartClient(nullptr, &handle), 1);
    EXPECT_EQ(CefStartClient("x", nullptr), 1);
    EXPECT_TRUE(log().wait_for("CefRPCClientHelper: Bad input parameter", 3000ms, 2));
    EXPECT_EQ(log().count("CefRPCClientHelper: Bad input parameter", LOG_ERR), 2);
}

TEST_F(Client, SendWithAMissingArgumentReturns87Silently) {
    RawQueue queue;
    ASSERT_TRUE(queue.ok());
    std::uint64_t handle = 0;
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &handle), 0);
    ASSERT_NE(handle, 0u);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(handle >> 32, 0u);
    }
    EXPECT_EQ(CefSendMessage('A', handle, 1, "n", "abc", 0), 87);
    EXPECT_EQ(CefSendMessage('A', handle, 1, nullptr, "abc", 3), 87);
    EXPECT_EQ(CefSendMessage('A', handle, 1, "n", nullptr, 3), 87);
    EXPECT_EQ(CefSendMessage('A', 0, 1, "n", "abc", 3), 87);
    CefStopClient(handle);
    CefStopClient(0);
    EXPECT_EQ(queue.receive(), "");
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(log().lines().empty());
}

TEST_F(Client, PayloadsUpTo6144BytesTravelInline) {
    RawQueue queue;
    ASSERT_TRUE(queue.ok());
    std::uint64_t handle = 0;
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &handle), 0);
    const std::string payload = pattern(6144);
    ASSERT_EQ(CefSendMessage('A', handle, 41, "inline", payload.data(), payload.size()), 0);
    const std::string bytes = queue.receive();
    EXPECT_EQ(bytes.size(), 37u + 6 + 6144);
    const Message m = decode(bytes);
    EXPECT_EQ(m.large, 0);
    EXPECT_EQ(m.code, static_cast<std::uint32_t>('A'));
    EXPECT_EQ(m.id, 41u);
    EXPECT_STREQ(m.name, "inline");
    EXPECT_EQ(std::string(static_cast<const char*>(m.payload), m.length), payload);
    EXPECT_TRUE(large_data_files().empty());
    CefStopClient(handle);
}

TEST_F(Client, OneByteMoreTravelsThroughAFileWhosePathTheMessageCarries) {
    RawQueue queue;
    ASSERT_TRUE(queue.ok());
    std::uint64_t handle = 0;
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &handle), 0);
    const std::string payload = pattern(6145, 1);
    ASSERT_EQ(CefSendMessage('A', handle, 42, "large", payload.data(), payload.size()), 0);
    const std::string bytes = queue.receive();
    const Message m = decode(bytes);
    EXPECT_EQ(m.large, 1);
    EXPECT_EQ(m.id, 42u);
    const std::string path(static_cast<const char*>(m.payload));
    EXPECT_EQ(m.length, path.size() + 1);
    EXPECT_EQ(path.rfind("/opt/korvane/desktop/ld/", 0), 0u) << path;
    EXPECT_EQ(read_file(path), payload);
    CefStopClient(handle);
}

TEST_F(Client, AMessageBeyond7168BytesIsNotEncoded) {
    RawQueue queue;
    ASSERT_TRUE(queue.ok());
    std::uint64_t handle = 0;
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &handle), 0);
    const std::string name(1000, 'n');
    const std::string payload = pattern(6144);
    EXPECT_EQ(CefSendMessage('A', handle, 1, name.c_str(), payload.data(), payload.size()), 5);
    EXPECT_TRUE(logged("CefRPCClientHelper: Error building queue message"));
    // A large payload whose message cannot be built leaves no file behind.
    const std::string huge_name(7200, 'h');
    const std::string big = pattern(10000);
    EXPECT_EQ(CefSendMessage('A', handle, 2, huge_name.c_str(), big.data(), big.size()), 5);
    EXPECT_TRUE(large_data_files().empty());
    EXPECT_EQ(queue.receive(), "");
    CefStopClient(handle);
}

TEST_F(Client, SendFailureLogsEachFieldWithItsOwnType) {
    RawQueue queue(64);
    ASSERT_TRUE(queue.ok());
    std::uint64_t handle = 0;
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &handle), 0);
    const std::string payload = pattern(100);
    EXPECT_EQ(CefSendMessage('A', handle, 1, "n", payload.data(), payload.size()), 6);
    const std::string big = pattern(7000);
    EXPECT_EQ(CefSendMessage('A', handle, 2, "n", big.data(), big.size()), 6);
    EXPECT_TRUE(large_data_files().empty()) << "the file of an unsent message is removed";

    std::this_thread::sleep_for(200ms);
    const std::regex inline_line(
        "CefRPCClientHelper\\.CefSendMessage: Error sending message of size=138\\(0\\) to the "
        "queue using conn=[0-9]+ errno=90 \\(Message too long\\)");
    const std::regex large_line(
        "CefRPCClientHelper\\.CefSendMessage: Error sending message of size=[0-9]+\\(1\\) to the "
        "queue using conn=[0-9]+ errno=90 \\(Message too long\\)");
    int inline_seen = 0, large_seen = 0;
    for (const auto& line : log().lines()) {
        inline_seen += std::regex_match(line.message, inline_line) && line.priority == LOG_ERR;
        large_seen += std::regex_match(line.message, large_line) && line.priority == LOG_ERR;
    }
    EXPECT_EQ(inline_seen, 1);
    EXPECT_EQ(large_seen, 1);
    CefStopClient(handle);
}

TEST_F(Client, SeveralHandlesMaySendToOneEndpoint) {
    RawQueue queue;
    ASSERT_TRUE(queue.ok());
    std::uint64_t first = 0, second = 0;
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &first), 0);
    ASSERT_EQ(CefStartClient(queue.endpoint().c_str(), &second), 0);
    EXPECT_NE(first, second);
    ASSERT_EQ(CefSendMessage('A', first, 1, "one", "1", 1), 0);
    CefStopClient(first);
    ASSERT_EQ(CefSendMessage('A', second, 2, "two", "2", 1), 0);
    CefStopClient(second);
    const std::string one = queue.receive(), two = queue.receive();
    EXPECT_STREQ(decode(one).name, "one");
    EXPECT_STREQ(decode(two).name, "two");
}

}  // namespace
}  // namespace kv::rpc::test
