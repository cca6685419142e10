// The tray's footprint in a headless desktop beside a minimal GTK+ 2
// program that shows one status icon, both started in the same run: the
// resident memory after start-up and the processor time over 60 idle
// seconds (the tray's 3-second tick only; the simulated agent is up and
// silent). Run inside the test namespace:
//   tests/harness/nsrun.sh build/x86_64/bench/tray_idle_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "client_impl.hpp"
#include "desktop_session.hpp"
#include "private_bus.hpp"
#include "process.hpp"

namespace {

using namespace std::chrono_literals;

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Processor time of every thread of `pid`, in seconds, from the scheduler's
// nanosecond counters (the clock-tick figures of /proc/PID/stat are too
// coarse for an idle program).
double cpu_seconds(pid_t pid) {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream in(task.path() / "schedstat");
        unsigned long long on_cpu_ns = 0;
        if (in >> on_cpu_ns)
            total += double(on_cpu_ns) / 1e9;
    }
    return total;
}

void BM_TrayIdleBesideMinimalStatusIcon(benchmark::State& state) {
    namespace fs = std::filesystem;
    fs::remove_all("/opt/korvane/desktop");
    fs::create_directories("/opt/korvane/HostCache");
    fs::copy(KV_DESKTOP_STAGE_DIR, "/opt/korvane/desktop", fs::copy_options::recursive);
    kv::test::PrivateBus system_bus(kv::test::PrivateBus::Kind::system);
    kv::test::DesktopSession desktop;
    if (system_bus.start() != 0 || desktop.start() != 0) {
        state.SkipWithError("no desktop session");
        return;
    }
    kv::test::ChildProcess agent, tray, minimal;
    kv::test::RunOptions options;
    options.extra_env = desktop.child_env();
    (void)agent.start({KV_AGENT_SIM, "--state-dir", "/opt/korvane/HostCache", "--trust", KV_KORVANEUI}, options);
    std::this_thread::sleep_for(1s);
    (void)tray.start({KV_KORVANEUI}, options);
    (void)minimal.start({KV_MINIMAL_STATUS_ICON, "/opt/korvane/desktop/icon_yellow.png"}, options);
    (void)desktop.wait_embedded_tray_icons(2, 20s);
    std::this_thread::sleep_for(5s);   // start-up done, first ticks and the driver query answered

    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double tray_cpu0 = cpu_seconds(tray.pid()), minimal_cpu0 = cpu_seconds(minimal.pid());
        std::this_thread::sleep_for(60s);
        const double tray_cpu = cpu_seconds(tray.pid()) - tray_cpu0;
        const double minimal_cpu = cpu_seconds(minimal.pid()) - minimal_cpu0;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        const long tray_rss = rss_kib(tray.pid()), minimal_rss = rss_kib(minimal.pid());
        state.counters["tray_rss_KiB"] = double(tray_rss);
        state.counters["minimal_rss_KiB"] = double(minimal_rss);
        state.counters["rss_ratio"] = minimal_rss > 0 ? double(tray_rss) / double(minimal_rss) : 0;
        state.counters["tray_cpu_s_per_min"] = tray_cpu;
        state.counters["minimal_cpu_s_per_min"] = minimal_cpu;
    }
    tray.stop();
    minimal.stop();
    agent.stop();
    kv::svc::stopServiceClient();
    desktop.stop();
    system_bus.stop();
}
BENCHMARK(BM_TrayIdleBesideMinimalStatusIcon)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
