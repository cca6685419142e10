// The server with real queues, real large-data files and real threads:
// dispatch by code across servers, newest-first lookup, stopping, hostile
// and malformed requests, queues taken first by someone else, and a host
// process that loads both libraries at run time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mqueue.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <thread>

#include "cefrpc.h"
#include "process.hpp"
#include "testing/rpc_fixture.hpp"

namespace kv::rpc::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kDecodeError[] = "CefRPCServerHelper:CefRPCServerHelper: cefDecodeTLVBuffer error";

std::string large_data_error(int status) {
    return "CefRPCServerHelper:CefRPCServerHelper: ReceiveLargeData error(" +
           std::to_string(status) + ")";
}

// One record: tag and length little-endian, then the value.
std::string record(std::uint16_t tag, const std::string& value) {
    std::string out(4, '\0');
    out[0] = static_cast<char>(tag);
    out[1] = static_cast<char>(tag >> 8);
    out[2] = static_cast<char>(value.size());
    out[3] = static_cast<char>(value.size() >> 8);
    return out + value;
}

std::string le(std::uint64_t value, std::size_t bytes) {
    std::string out(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<char>(value >> (8 * i));
    return out;
}

std::string encode(std::uint32_t code, std::uint32_t id, const std::string& name,
                   const std::string& payload, bool large) {
    std::string buffer(7168, '\0');
    std::uint64_t length = payload.size();
    if (cefEncodeTLVBuffer(buffer.data(), buffer.size(), code, id, name.c_str(), payload.data(),
                           &length, large ? 1 : 0) != 0)
        return {};
    return buffer.substr(0, length);
}

// A large-data reference as a client would send it: the path and its zero.
std::string reference(const std::string& path) { return std::string(path.c_str(), path.size() + 1); }

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool queue_exists(const std::string& endpoint) {
    const mqd_t q = mq_open(("/" + endpoint).c_str(), O_RDONLY);
    if (q == static_cast<mqd_t>(-1))
        return false;
    mq_close(q);
    return true;
}

// A started server, stopped when the test leaves its scope.
class ScopedServer {
public:
    ScopedServer(std::int32_t code, CefServerCallback callback,
                 const std::string& endpoint = unique_endpoint())
        : endpoint_(endpoint), code_(code),
          started_(CefStartServer(endpoint.c_str(), code, callback) == 0) {}
    ~ScopedServer() {
        if (started_)
            CefStopServer(code_);
    }
    bool started() const { return started_; }
    const std::string& endpoint() const { return endpoint_; }

private:
    std::string endpoint_;
    std::int32_t code_;
    bool started_;
};

// A client connection, stopped when the test leaves its scope.
class ScopedClient {
public:
    explicit ScopedClient(const std::string& endpoint) {
        started_ = CefStartClient(endpoint.c_str(), &handle_) == 0;
    }
    ~ScopedClient() { CefStopClient(handle_); }
    bool started() const { return started_; }
    std::int64_t send(std::uint32_t code, std::uint32_t id, const std::string& name,
                      const std::string& payload) const {
        return CefSendMessage(code, handle_, id, name.c_str(), payload.data(), payload.size());
    }

private:
    std::uint64_t handle_ = 0;
    bool started_ = false;
};

// A gate the blocking callback waits at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    bool entered = false;
};
Gate g_gate;

void blocking_request(std::uint32_t message_id, const char* name, std::uint64_t name_length,
                      const void* payload, std::uint64_t payload_length) {
    std::unique_lock<std::mutex> lock(g_gate.mutex);
    g_gate.entered = true;
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.open; });
    lock.unlock();
    record_request<'g'>(message_id, name, name_length, payload, payload_length);
}

class Server : public RpcTest {
protected:
    // Sends a plain request with id `id` through `client` and waits until
    // `n` requests in all have arrived: everything queued before it has
    // been handled by then.
    void sync(const ScopedClient& client, std::uint32_t code, std::uint32_t id, std::size_t n) {
        ASSERT_EQ(client.send(code, id, "sync", "s"), 0);
        ASSERT_TRUE(inbox().wait_for(n, 10s));
    }
};

TEST_F(Server, HandsEachRequestToTheCallbackOfItsCode) {
    ScopedServer server('A', record_request<'a'>);
    ASSERT_TRUE(server.started());
    ScopedClient client(server.endpoint());
    ASSERT_TRUE(client.started());
    const std::string payload = pattern(64);
    ASSERT_EQ(client.send('A', 7, "hello", payload), 0);
    ASSERT_TRUE(inbox().wait_for(1, 10s));
    const Received r = inbox().all().at(0);
    EXPECT_EQ(r.server, 'a');
    EXPECT_EQ(r.message_id, 7u);
    EXPECT_EQ(r.name, "hello");
    EXPECT_EQ(r.name_length, 5u);
    EXPECT_EQ(r.payload, payload);
    EXPECT_EQ(r.payload_length, 64u);
}

TEST_F(Server, PayloadsEitherSideOfTheInlineLimitArriveWholeAndLeaveNoFile) {
    ScopedServer server('A', record_request<'a'>);
    ASSERT_TRUE(server.started());
    ScopedClient client(server.endpoint());
    const std::string at_limit = pattern(6144, 5), above = pattern(6145, 6), big = pattern(65536, 7);
    ASSERT_EQ(client.send('A', 1, "at", at_limit), 0);
    ASSERT_EQ(client.send('A', 2, "above", above), 0);
    ASSERT_EQ(client.send('A', 3, "big", big), 0);
    ASSERT_TRUE(inbox().wait_for(3, 10s));
    const auto all = inbox().all();
    EXPECT_EQ(all[0].payload, at_limit);
    EXPECT_EQ(all[1].payload, above);
    EXPECT_EQ(all[1].payload_length, 6145u);
    EXPECT_EQ(all[2].payload, big);
    EXPECT_TRUE(large_data_files().empty());
}

TEST_F(Server, ACodeReachesItsCallbackWhicheverQueueCarriesIt) {
    ScopedServer a('A', record_request<'a'>);
    ScopedServer b('B', record_request<'b'>);
    ASSERT_TRUE(a.started() && b.started());
    ScopedClient to_a(a.endpoint());
    ASSERT_EQ(to_a.send('B', 1, "for b", "x"), 0);
    ASSERT_EQ(to_a.send('Z', 2, "for nobody", "x"), 0);
    ASSERT_EQ(to_a.send('A', 3, "for a", "x"), 0);
    ASSERT_TRUE(inbox().wait_for(2, 10s));
    const auto all = inbox().all();
    EXPECT_EQ(all[0].server, 'b');
    EXPECT_EQ(all[0].message_id, 1u);
    EXPECT_EQ(all[1].server, 'a');
    EXPECT_EQ(all[1].message_id, 3u);
    EXPECT_TRUE(logged("CefRPCServerHelper:CefRPCServerHelper: reply_to_method_call error finding "
                       "callback for CRC 'Z'"));
}

TEST_F(Server, TheNewestServerOfACodeComesFirst) {
    const std::string older_endpoint = unique_endpoint(), newer_endpoint = unique_endpoint();
    ASSERT_EQ(CefStartServer(older_endpoint.c_str(), 'X', record_request<'1'>), 0);
    CefServerData* older = findServerDataForCRC('X');
    ASSERT_NE(older, nullptr);
    ASSERT_EQ(CefStartServer(newer_endpoint.c_str(), 'X', record_request<'2'>), 0);
    CefServerData* newer = findServerDataForCRC('X');
    EXPECT_NE(newer, older);

    ScopedClient client(older_endpoint);
    ASSERT_EQ(client.send('X', 1, "first", "x"), 0);
    ASSERT_TRUE(inbox().wait_for(1, 10s));
    EXPECT_EQ(inbox().all()[0].server, '2');

    CefStopServer('X');
    EXPECT_EQ(findServerDataForCRC('X'), older);
    EXPECT_FALSE(queue_exists(newer_endpoint));
    EXPECT_TRUE(queue_exists(older_endpoint));
    ASSERT_EQ(client.send('X', 2, "second", "x"), 0);
    ASSERT_TRUE(inbox().wait_for(2, 10s));
    EXPECT_EQ(inbox().all()[1].server, '1');

    CefStopServer('X');
    EXPECT_EQ(findServerDataForCRC('X'), nullptr);
    EXPECT_FALSE(queue_exists(older_endpoint));
    CefStopServer('X');   // none left: no-op
}

TEST_F(Server, StopEndsTheListenerWithinAboutASecondAndRemovesTheQueue) {
    const std::string endpoint = unique_endpoint();
    ASSERT_EQ(CefStartServer(endpoint.c_str(), 'S', record_request<'s'>), 0);
    {
        ScopedClient client(endpoint);
        sync(client, 'S', 1, 1);
    }
    std::this_thread::sleep_for(200ms);   // back from the callback, waiting in a receive
    const auto begin = Clock::now();
    CefStopServer('S');
    // One receive deadline, with ample room for an emulated build.
    EXPECT_LT(Clock::now() - begin, 4s);
    EXPECT_FALSE(queue_exists(endpoint));
    EXPECT_EQ(findServerDataForCRC('S'), nullptr);
    EXPECT_TRUE(logged("CefRPCServerHelper:listenForRequests:shutting down"));
}

TEST_F(Server, AStopRightAfterTheStartIsNeverLost) {
    for (int i = 0; i < 3; ++i) {
        const std::string endpoint = unique_endpoint();
        ASSERT_EQ(CefStartServer(endpoint.c_str(), 'R', record_request<'r'>), 0);
        CefStopServer('R');
        EXPECT_FALSE(queue_exists(endpoint)) << "round " << i;
    }
    EXPECT_EQ(findServerDataForCRC('R'), nullptr);
}

TEST_F(Server, StopWaitsForTheCallbackInProgress) {
    const std::string endpoint = unique_endpoint();
    ASSERT_EQ(CefStartServer(endpoint.c_str(), 'G', blocking_request), 0);
    ScopedClient client(endpoint);
    ASSERT_EQ(client.send('G', 1, "slow", "x"), 0);
    {
        std::unique_lock<std::mutex> lock(g_gate.mutex);
        ASSERT_TRUE(g_gate.cv.wait_for(lock, 10s, [] { return g_gate.entered; }));
    }
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        CefStopServer('G');
        stopped = true;
    });
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(stopped.load()) << "the listener is still inside the callback";
    {
        std::lock_guard<std::mutex> lock(g_gate.mutex);
        g_gate.open = true;
    }
    g_gate.cv.notify_all();
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_EQ(inbox().all().size(), 1u);
    EXPECT_FALSE(queue_exists(endpoint));
}

TEST_F(Server, ARequestReceivedInTheStoppingCycleIsNotDispatched) {
    const std::string endpoint = unique_endpoint();
    ASSERT_EQ(CefStartServer(endpoint.c_str(), 'H', record_request<'h'>), 0);
    ScopedClient client(endpoint);
    sync(client, 'H', 1, 1);
    // Receives end on whole seconds; start early in one so the request
    // lands inside the receive that the stop has already doomed.
    for (;;) {
        const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
        const auto fraction = since_epoch - std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
        if (fraction > 50ms && fraction < 150ms)
            break;
        std::this_thread::sleep_for(5ms);
    }
    std::thread stopper([] { CefStopServer('H'); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(client.send('H', 2, "late", "x"), 0);
    stopper.join();
    EXPECT_TRUE(logged("CefRPCServerHelper:listenForRequests:shutting down"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(inbox().all().size(), 1u) << "only the request before the stop";
}

TEST_F(Server, RequestsWaitingBeforeTheStartAreDelivered) {
    const std::string endpoint = unique_endpoint();
    const mqd_t q = open_raw_queue(endpoint, O_RDONLY | O_CREAT | O_EXCL);
    ASSERT_NE(q, static_cast<mqd_t>(-1));
    mq_close(q);
    for (std::uint32_t id = 1; id <= 3; ++id)
        ASSERT_EQ(send_raw(endpoint, encode('W', id, "early", "x", false)), 0);
    ScopedServer server('W', record_request<'w'>, endpoint);
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(inbox().wait_for(3, 10s));
    const auto all = inbox().all();
    for (std::uint32_t id = 1; id <= 3; ++id)
        EXPECT_EQ(all[id - 1].message_id, id);
}

TEST_F(Server, AVanishedLargeDataFileIsDroppedWithoutACallback) {
    ScopedServer server('V', record_request<'v'>);
    ASSERT_TRUE(server.started());
    fs::create_directories("/opt/korvane/desktop/ld");
    ASSERT_EQ(send_raw(server.endpoint(),
                       encode('V', 1, "gone", reference("/opt/korvane/desktop/ld/1_2"), true)),
              0);
    ScopedClient client(server.endpoint());
    sync(client, 'V', 2, 1);
    EXPECT_TRUE(logged(large_data_error(ENOENT)));
    EXPECT_EQ(inbox().all().at(0).message_id, 2u);
}

TEST_F(Server, LargeDataReferencesOutsideTheDirectoryAreRefusedAndLeftAlone) {
    ScopedServer server('L', record_request<'l'>);
    ASSERT_TRUE(server.started());
    ScopedClient client(server.endpoint());
    const std::string ld = "/opt/korvane/desktop/ld";
    fs::create_directories(ld + "/sub");
    write_file("/opt/korvane/secret", "secret");
    write_file(ld + "/sub/file", "nested");
    fs::create_symlink("/opt/korvane/secret", ld + "/link");
    fs::create_directory(ld + "/dir");
    write_file(ld + "/plain", "plain");

    struct Case {
        const char* what;
        std::string value;   // record 3's bytes
        int status;
    };
    const Case cases[] = {
        {"file elsewhere", reference("/opt/korvane/secret"), EPERM},
        {"dot-dot out of the directory", reference(ld + "/../../secret"), EPERM},
        {"subdirectory", reference(ld + "/sub/file"), EPERM},
        {"symbolic link inside", reference(ld + "/link"), ELOOP},
        {"directory inside", reference(ld + "/dir"), EINVAL},
        {"relative path", reference("ld/plain"), EINVAL},
        {"directory itself", reference(ld + "/"), EINVAL},
        {"dot", reference(ld + "/."), EINVAL},
        {"no terminator in the record", ld + "/plain", EINVAL},
    };
    std::uint32_t id = 0;
    for (const Case& c : cases) {
        log().clear();
        ASSERT_EQ(send_raw(server.endpoint(), encode('L', ++id, c.what, c.value, true)), 0) << c.what;
        sync(client, 'L', 1000 + id, id);
        EXPECT_TRUE(logged(large_data_error(c.status))) << c.what;
    }
    for (const Received& r : inbox().all())
        EXPECT_GT(r.message_id, 1000u) << r.name;
    EXPECT_EQ(read_file("/opt/korvane/secret"), "secret");
    EXPECT_EQ(read_file(ld + "/sub/file"), "nested");
    EXPECT_TRUE(fs::is_symlink(ld + "/link"));
    EXPECT_TRUE(fs::is_directory(ld + "/dir"));
    EXPECT_EQ(read_file(ld + "/plain"), "plain");

    // The same directory reached through another spelling is accepted.
    ASSERT_EQ(send_raw(server.endpoint(),
                       encode('L', 99, "alias", reference("/opt/korvane/../korvane/desktop/ld/plain"),
                              true)),
              0);
    ASSERT_TRUE(inbox().wait_for(std::size(cases) + 1, 10s));
    EXPECT_EQ(inbox().all().back().payload, "plain");
    EXPECT_FALSE(fs::exists(ld + "/plain"));
}

TEST_F(Server, IncompleteOrInconsistentMessagesAreDroppedAsUndecodable) {
    ScopedServer server('M', record_request<'m'>);
    ASSERT_TRUE(server.started());
    ScopedClient client(server.endpoint());
    const std::string id = record(0, le(5, 4)), name = record(1, std::string("nm\0", 3)),
                      code = record(2, le('M', 4)), payload = record(3, "abc"),
                      length = record(4, le(3, 8));
    const std::string cases[] = {
        "garbage that is no record at all",
        id + record(1, "nm") + code + payload + length,                   // name not terminated
        id + record(1, "") + code + payload + length,                     // empty name
        id + code + payload + length,                                     // no name
        id + name + code + length,                                        // no payload
        id + name + code + payload,                                       // no payload length
        id + name + code + payload + record(4, le(1000, 8)),              // lengths disagree
        id + name + code + record(3, "abcdef") + length,                  // lengths disagree
        id + name + code + payload + record(4, le((1ull << 32) + 3, 8)),  // disagree above 32 bits
    };
    for (const std::string& bytes : cases)
        ASSERT_EQ(send_raw(server.endpoint(), bytes), 0);
    sync(client, 'M', 77, 1);
    EXPECT_TRUE(log().wait_for(kDecodeError, 3000ms, static_cast<int>(std::size(cases))));
    EXPECT_EQ(log().count(kDecodeError, LOG_ERR), static_cast<int>(std::size(cases)));
    ASSERT_EQ(inbox().all().size(), 1u);
    EXPECT_EQ(inbox().all()[0].message_id, 77u);

    // The same records in another order are a whole request.
    ASSERT_EQ(send_raw(server.endpoint(), length + payload + code + name + id), 0);
    ASSERT_TRUE(inbox().wait_for(2, 10s));
    EXPECT_EQ(inbox().all()[1].message_id, 5u);
    EXPECT_EQ(inbox().all()[1].payload, "abc");
}

TEST_F(Server, AnEmptyMessageIsLoggedAsAWarning) {
    ScopedServer server('E', record_request<'e'>);
    ASSERT_TRUE(server.started());
    ASSERT_EQ(send_raw(server.endpoint(), ""), 0);
    ScopedClient client(server.endpoint());
    sync(client, 'E', 1, 1);
    const std::regex warning("CefRPCServerHelper:listenForRequests: warning - received 0 byte "
                             "message from queue using conn=[0-9]+");
    int seen = 0;
    for (const auto& line : log().lines())
        seen += std::regex_match(line.message, warning) && line.priority == LOG_ERR;
    EXPECT_EQ(seen, 1);
}

TEST_F(Server, AQueueSomeoneElseCreatedFirstIsRefused) {
    struct Case {
        const char* what;
        mode_t mode;
        long message_size;
        uid_t owner;
        const char* error;
    };
    const Case cases[] = {
        {"owned by another user", 0644, 7168, kv::test::kUnprivilegedUid, "Operation not permitted"},
        {"writable by everyone", 0666, 7168, 0, "Operation not permitted"},
        {"writable by the group", 0664, 7168, 0, "Operation not permitted"},
        {"another message size", 0644, 100, 0, "Invalid argument"},
    };
    for (const Case& c : cases) {
        const std::string endpoint = unique_endpoint();
        const mqd_t q = open_raw_queue(endpoint, O_RDWR | O_CREAT | O_EXCL, 10, c.message_size, c.mode);
        ASSERT_NE(q, static_cast<mqd_t>(-1)) << c.what;
        if (c.owner != 0) {
            ASSERT_EQ(fchown(q, c.owner, kv::test::kUnprivilegedGid), 0) << c.what;
        }
        EXPECT_EQ(CefStartServer(endpoint.c_str(), 'Q', record_request<'q'>), -1) << c.what;
        EXPECT_EQ(findServerDataForCRC('Q'), nullptr) << c.what;
        EXPECT_TRUE(logged("CefRPCServerHelper:start_queue:Connection failed to open: /" + endpoint +
                           " " + c.error))
            << c.what;
        struct stat st {};
        ASSERT_EQ(fstat(q, &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.mode) << c.what << ": the queue is left as it was";
        mq_close(q);
        EXPECT_TRUE(queue_exists(endpoint)) << c.what;
        mq_unlink(("/" + endpoint).c_str());
    }
}

TEST_F(Server, StartFailsWhenTheQueueCannotBeOpenedOrNoCallbackIsGiven) {
    EXPECT_EQ(CefStartServer("bad/name", 'Q', record_request<'q'>), -1);
    EXPECT_EQ(findServerDataForCRC('Q'), nullptr);
    bool seen = false;
    for (int i = 0; i < 300 && !seen; ++i) {
        for (const auto& line : log().lines())
            seen |= line.message.rfind("CefRPCServerHelper:start_queue:Connection failed to open: "
                                       "/bad/name ", 0) == 0;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(seen);
    const std::string endpoint = unique_endpoint();
    EXPECT_EQ(CefStartServer(endpoint.c_str(), 'Q', nullptr), -1);
    EXPECT_EQ(CefStartServer(nullptr, 'Q', record_request<'q'>), -1);
    EXPECT_FALSE(queue_exists(endpoint));
}

// The host process loads both libraries itself; the large payload can only
// be fetched through the client library's ReceiveLargeData it finds there.
kv::test::RunResult run_host(const std::string& client_library, const std::string& endpoint,
                             const std::vector<std::string>& payloads) {
    kv::test::RunOptions options;
    options.built_program = true;
    options.timeout = 60s;
    kv::test::RunResult result;
    std::thread host([&] {
        result = kv::test::run_program({KV_CEFRPC_SERVER_HOST, client_library, KV_CEFRPC_SERVER_LIB,
                                        endpoint, "D", "1"},
                                       options);
    });
    std::uint64_t handle = 0;
    for (int i = 0; i < 3000 && CefStartClient(endpoint.c_str(), &handle) != 0; ++i)
        std::this_thread::sleep_for(10ms);
    std::uint32_t id = 0;
    for (const std::string& payload : payloads)
        EXPECT_EQ(CefSendMessage('D', handle, ++id, "host", payload.data(), payload.size()), 0);
    CefStopClient(handle);
    host.join();
    return result;
}

TEST_F(Server, AHostProcessLoadingBothLibrariesReceivesLargeData) {
    const std::string payload = pattern(100000, 9);
    std::uint64_t fnv = 1469598103934665603ull;
    for (unsigned char c : payload)
        fnv = (fnv ^ c) * 1099511628211ull;
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "request id=1 name=host name_length=4 length=100000 fnv=%016llx\n",
                  static_cast<unsigned long long>(fnv));
    const auto result = run_host(KV_CEFRPC_CLIENT_LIB, unique_endpoint(), {payload});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, std::string("ready\n") + expected);
    EXPECT_TRUE(large_data_files().empty());
}

TEST_F(Server, AHostWithoutTheClientLibraryDropsLargeData) {
    const auto result = run_host("-", unique_endpoint(), {pattern(7000), "small"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("request id=2 name=host name_length=4 length=5 "), std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("id=1"), std::string::npos) << result.out;
    EXPECT_TRUE(logged(large_data_error(ENOSYS)));
}

}  // namespace
}  // namespace kv::rpc::test
