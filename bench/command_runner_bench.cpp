// The command runner beside posix_spawn + waitpid of the same command
// ("/bin/bash -c /bin/true") in the same run, and the watchdog keep-alive
// beside a plain relaxed atomic store. Run through tests/harness/nsrun.sh
// (the runner logs each command to /dev/log).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>

#include "kvhelper.h"

extern char** environ;

namespace {

void BM_PosixSpawnWaitpid(benchmark::State& state) {
    char arg0[] = "/bin/bash", arg1[] = "-c", arg2[] = "/bin/true";
    char* const argv[] = {arg0, arg1, arg2, nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, "/bin/bash", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn");
            break;
        }
        int status = 0;
        (void)::waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_PosixSpawnWaitpid)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ExecuteCmd(benchmark::State& state) {
    char output[4096];
    for (auto _ : state) {
        if (execute_cmd("/bin/true", output, sizeof output, nullptr) != 0) {
            state.SkipWithError("execute_cmd");
            break;
        }
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(BM_ExecuteCmd)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::atomic<bool> g_flag{false};

void BM_RelaxedStore(benchmark::State& state) {
    for (auto _ : state) {
        g_flag.store(true, std::memory_order_relaxed);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RelaxedStore);

void BM_KeepAlive(benchmark::State& state) {
    for (auto _ : state) {
        KvDeadLockWatch();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_KeepAlive);

}  // namespace

BENCHMARK_MAIN();
