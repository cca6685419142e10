// Requests from client to server callback beside raw mq_send/mq_receive of
// the same bytes (64-byte and 6 KiB inline payloads), and a 1 MiB request
// through a large-data file beside writing and reading the same file
// directly. The large-data directory is fixed, so run it in the test
// namespace:  tests/harness/nsrun.sh build/x86_64/bench/cefrpc_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mqueue.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cefrpc.h"

namespace {

constexpr std::int32_t kCode = 'b';
constexpr char kName[] = "bench";
constexpr char kLargeDataDir[] = "/opt/korvane/desktop/ld";

std::atomic<std::uint64_t> g_delivered{0};
std::atomic<std::uint64_t> g_raw_received{0};
std::uint64_t g_client = 0;
mqd_t g_raw_writer = static_cast<mqd_t>(-1);

void on_request(std::uint32_t, const char*, std::uint64_t, const void*, std::uint64_t) {
    g_delivered.fetch_add(1, std::memory_order_release);
    g_delivered.notify_all();
}

void wait_until(std::atomic<std::uint64_t>& counter, std::uint64_t target) {
    for (std::uint64_t seen = counter.load(); seen < target; seen = counter.load())
        counter.wait(seen);
}

std::string encoded(std::size_t payload_size) {
    const std::string payload(payload_size, 'p');
    std::string buffer(7168, '\0');
    std::uint64_t length = payload.size();
    if (cefEncodeTLVBuffer(buffer.data(), buffer.size(), kCode, 1, kName, payload.data(), &length,
                           0) != 0)
        return {};
    return buffer.substr(0, length);
}

void BM_CefRequestToCallback(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'p');
    std::uint64_t target = g_delivered.load();
    for (auto _ : state) {
        if (CefSendMessage(kCode, g_client, 1, kName, payload.data(), payload.size()) != 0) {
            state.SkipWithError("CefSendMessage failed");
            break;
        }
        ++target;
    }
    wait_until(g_delivered, target);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_RawMqSendReceive(benchmark::State& state) {
    const std::string bytes = encoded(static_cast<std::size_t>(state.range(0)));
    std::uint64_t target = g_raw_received.load();
    for (auto _ : state) {
        if (mq_send(g_raw_writer, bytes.data(), bytes.size(), 0) != 0) {
            state.SkipWithError("mq_send failed");
            break;
        }
        ++target;
    }
    wait_until(g_raw_received, target);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_CefLargeDataToCallback(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'L');
    for (auto _ : state) {
        const std::uint64_t target = g_delivered.load() + 1;
        if (CefSendMessage(kCode, g_client, 2, kName, payload.data(), payload.size()) != 0) {
            state.SkipWithError("CefSendMessage failed");
            break;
        }
        wait_until(g_delivered, target);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// What the large-data path does at its core: one file written, read back
// whole into fresh memory, and removed.
void BM_DirectFileWriteRead(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'L');
    const std::string path = std::string(kLargeDataDir) + "/direct";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || write(fd, payload.data(), payload.size()) != static_cast<ssize_t>(payload.size())) {
            state.SkipWithError("write failed");
            break;
        }
        close(fd);
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        std::vector<char> buffer(static_cast<std::size_t>(st.st_size));
        if (read(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size())) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        close(fd);
        unlink(path.c_str());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_CefRequestToCallback)->Arg(64)->Arg(6144)->UseRealTime();
BENCHMARK(BM_RawMqSendReceive)->Arg(64)->Arg(6144)->UseRealTime();
BENCHMARK(BM_CefLargeDataToCallback)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_DirectFileWriteRead)->Arg(1 << 20)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::error_code ec;
    std::filesystem::create_directories(kLargeDataDir, ec);
    const std::string pid = std::to_string(getpid());
    const std::string server_endpoint = "kvrpc_bench_" + pid, raw_endpoint = "/kvrpc_bench_raw_" + pid;
    if (CefStartServer(server_endpoint.c_str(), kCode, on_request) != 0 ||
        CefStartClient(server_endpoint.c_str(), &g_client) != 0) {
        std::fprintf(stderr, "cannot start the server or the client\n");
        return 1;
    }
    // The baseline queue has the server's attributes; a reader thread
    // drains it as the listener drains the server's queue.
    mq_attr attributes{};
    attributes.mq_maxmsg = 10;
    attributes.mq_msgsize = 7168;
    const mqd_t raw_reader = mq_open(raw_endpoint.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0600, &attributes);
    g_raw_writer = mq_open(raw_endpoint.c_str(), O_WRONLY);
    if (raw_reader == static_cast<mqd_t>(-1) || g_raw_writer == static_cast<mqd_t>(-1)) {
        std::perror("mq_open");
        return 1;
    }
    std::thread reader([raw_reader] {
        std::vector<char> buffer(7168);
        for (;;) {
            const ssize_t n = mq_receive(raw_reader, buffer.data(), buffer.size(), nullptr);
            if (n == 0)
                break;   // the end marker
            if (n > 0) {
                g_raw_received.fetch_add(1, std::memory_order_release);
                g_raw_received.notify_all();
            }
        }
    });

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    (void)mq_send(g_raw_writer, "", 0, 0);
    reader.join();
    mq_close(raw_reader);
    mq_close(g_raw_writer);
    mq_unlink(raw_endpoint.c_str());
    CefStopClient(g_client);
    CefStopServer(kCode);
    return 0;
}
