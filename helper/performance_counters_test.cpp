// Counters of the test process itself: record bounds, processor use of busy
// threads, memory and thread lines of /proc/self/status (also a status file
// without "VmLck:"), descriptors by kind.
#include "performance_counters.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

using namespace std::chrono_literals;

std::uint64_t status_kb(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stoull(line.substr(key.size()));
    }
    return ~0ull;
}

TEST(PerformanceCounters, ProcessorUseOfBusyThreadsAndShortRecords) {
    EXPECT_EQ(KvInitializePeroformanceCounters(), static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)));
    std::uint64_t values[5] = {9, 9, 9, 9, 9};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KvGetCPUsages(values, 4), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(values[0], 9u);
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 2; ++i)
        busy.emplace_back([&stop] {
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    // The process's own processor time over the call is the oracle: the
    // shared machine decides how much the busy threads get.
    const double cpu_before = kv::test::process_cpu_seconds();
    const auto sample_start = std::chrono::steady_clock::now();
    EXPECT_EQ(KvGetCPUsages(values, 5), 1);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - sample_start).count();
    const double percent = (kv::test::process_cpu_seconds() - cpu_before) / wall * 100;
    stop = true;
    for (auto& t : busy)
        t.join();
    EXPECT_GE(wall, 3.0);
    EXPECT_EQ(values[0], static_cast<std::uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_LE(values[1], 1u);
    EXPECT_NEAR(static_cast<double>(values[2]), percent, 15);
    EXPECT_GE(values[2] + 1, values[3] + values[4]);
    EXPECT_LE(values[2], values[3] + values[4] + 1);
    EXPECT_EQ(watchdog_cpuuse(), 0);
    double user = -1, kernel = -1;
    EXPECT_EQ(GetCPUPercentageOverTime(0, &user, &kernel), 0);
    EXPECT_GE(user, 0);
    EXPECT_EQ(GetCPUPercentageOverTime(0, nullptr, &kernel), -1);
}

TEST(PerformanceCounters, MemoryAndThreadsFromTheStatusFile) {
    std::uint64_t mem[4] = {};
    EXPECT_EQ(KvGetMemoryStatistics(mem, 3), 0);
    ASSERT_EQ(KvGetMemoryStatistics(mem, 4), 1);
    EXPECT_NEAR(static_cast<double>(mem[0]), static_cast<double>(status_kb("VmSize:")), 4096);
    EXPECT_GT(mem[1], 0u);
    EXPECT_GT(mem[2], 0u);   // the kernel updates the peak lazily: not compared with VmRSS
    EXPECT_EQ(mem[3], status_kb("VmLck:"));
    EXPECT_EQ(watchdog_memoryuse(), 0);

    std::uint64_t threads = 0;
    ASSERT_EQ(KvGetMiscStatistics(&threads, 1), 1);
    std::atomic<bool> stop{false};
    std::thread a([&] { while (!stop) std::this_thread::sleep_for(1ms); });
    std::thread b([&] { while (!stop) std::this_thread::sleep_for(1ms); });
    std::uint64_t more = 0;
    ASSERT_EQ(KvGetMiscStatistics(&more, 1), 1);
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(more, threads + 2);
    EXPECT_EQ(KvGetMiscStatistics(nullptr, 1), 0);
    EXPECT_EQ(KvGetMiscStatistics(&more, 0), 0);

    std::uint64_t events[3] = {};
    EXPECT_EQ(GetEventStatistics(events, 2), 0);
    EXPECT_EQ(GetEventStatistics(events, 3), 1);
    EXPECT_EQ(GetEventStatistics(events, 3), 1);
    EXPECT_LT(events[0], 1000u);   // a difference, not the running total
    EXPECT_EQ(KvGetEventStatistics(), 1);
}

TEST(PerformanceCounters, StatusWithoutLockedMemoryLineFails) {
    ASSERT_TRUE(kv::test::in_test_namespace()) << "run through tests/harness/nsrun.sh";
    kv::test::TempDir dir("kvcnt");
    ASSERT_TRUE(kv::test::write_text_file(dir.file("status"), "Name:\tx\nVmSize:\t  1000 kB\nVmRSS:\t   500 kB\n"
                                                              "Threads:\t1\n"));
    const int r = kv::test::run_in_private_mounts([&]() -> int {
        const std::string own = "/proc/" + std::to_string(::getpid()) + "/status";
        if (::mount(dir.file("status").c_str(), own.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 100;
        std::uint64_t mem[4] = {1, 2, 3, 4};
        if (GetMemoryStatistics(mem, 4) != 0)
            return 1;
        return mem[0] == 1 && mem[3] == 4 ? 0 : 2;
    });
    EXPECT_EQ(r, 0);
}

TEST(PerformanceCounters, DescriptorsCountedByKind) {
    std::uint64_t before[2] = {}, after[2] = {};
    ASSERT_EQ(KvGetOpenedFileAndSockCnnections(before, 2), 1);
    const int f1 = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const int f2 = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int f3 = ::open("/", O_RDONLY | O_CLOEXEC);
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(KvGetOpenedFileAndSockCnnections(after, 2), 1);
    EXPECT_EQ(after[0], before[0] + 3);
    EXPECT_EQ(after[1], before[1] + 1);
    ::close(f1);
    ::close(f2);
    ::close(f3);
    ::close(s);
    EXPECT_EQ(KvGetOpenedFileAndSockCnnections(after, 1), 0);
    // Exactly: a child with only its standard streams, three files and one
    // socket; the walked directory's own descriptor is not counted.
    if (!kv::test::emulator_prefix().empty())
        GTEST_SKIP() << "the emulator keeps descriptors of its own";
    const pid_t pid = ::fork();
    if (pid == 0) {
        (void)::close_range(3, ~0U, 0);
        (void)::open("/proc/self/status", O_RDONLY);
        (void)::open("/dev/null", O_RDONLY);
        (void)::open("/", O_RDONLY);
        (void)::socket(AF_UNIX, SOCK_DGRAM, 0);
        std::uint64_t v[2] = {};
        _exit(GetOpenedFileAndSockCnnections(v, 2) == 1 && v[0] == 6 && v[1] == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
