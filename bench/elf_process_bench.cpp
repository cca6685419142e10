// ELF version reads and process facts, each beside a baseline in the same
// run:
//   - ELFGetVersionString on a 1 GB sparse file beside a 1 MB one (the cost
//     must not grow with the file), and beside `readelf -p __version` and
//     `objcopy --dump-section` started as processes on the same 1 GB file;
//   - ListProcesses beside a bare readdir of /proc;
//   - GetProcessModules for every process beside reading each smaps whole.
// Run: build/x86_64/bench/elf_process_bench
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "elf_image.hpp"
#include "kvhelper.h"
#include "process.hpp"

namespace {

// Files are made once per run and removed at exit.
struct Files {
    kv::test::TempDir dir{"kvbench"};
    std::string small, large;
    Files() {
        small = dir.file("small.elf");
        large = dir.file("large.elf");
        kv::test::ElfSpec spec = kv::test::versioned_elf(std::string("3.1.1000.340", 13));
        spec.data_start = (1u << 20) - 4096;
        if (kv::test::write_elf(small, spec) != 0)
            std::abort();
        spec.data_start = (1u << 30) - 4096;
        if (kv::test::write_elf(large, spec) != 0)
            std::abort();
    }
};

Files& files() {
    static Files f;
    return f;
}

void version_of(benchmark::State& state, const std::string& path) {
    char buffer[64];
    for (auto _ : state) {
        if (ELFGetVersionString(path.c_str(), buffer, sizeof buffer, 0) != 0)
            state.SkipWithError("no version");
        benchmark::DoNotOptimize(buffer);
    }
}

void BM_ElfVersion_1MB(benchmark::State& state) { version_of(state, files().small); }
void BM_ElfVersion_1GB(benchmark::State& state) { version_of(state, files().large); }

void BM_ReadelfVersion_1GB(benchmark::State& state) {
    for (auto _ : state) {
        const auto r = kv::test::run_program({"/usr/bin/readelf", "-p", "__version", files().large});
        if (r.exit_code != 0 || r.out.find("3.1.1000.340") == std::string::npos)
            state.SkipWithError("readelf failed");
    }
}

void BM_ObjcopyDumpSection_1GB(benchmark::State& state) {
    const std::string section = files().dir.file("section.bin"), copy = files().dir.file("copy.elf");
    for (auto _ : state) {
        const auto r = kv::test::run_program(
            {"/usr/bin/objcopy", "--dump-section", "__version=" + section, files().large, copy});
        if (r.exit_code != 0)
            state.SkipWithError("objcopy failed");
        (void)unlink(copy.c_str());
    }
}

void BM_ListProcesses(benchmark::State& state) {
    std::vector<int> pids(65536);
    int count = 0;
    for (auto _ : state) {
        count = static_cast<int>(pids.size());
        (void)ListProcesses(pids.data(), &count);
        benchmark::DoNotOptimize(pids.data());
    }
    state.counters["processes"] = count;
}

void BM_ReaddirProc(benchmark::State& state) {
    for (auto _ : state) {
        DIR* d = opendir("/proc");
        int n = 0;
        while (dirent* e = readdir(d))
            n += e->d_name[0] >= '0' && e->d_name[0] <= '9';
        closedir(d);
        benchmark::DoNotOptimize(n);
    }
}

std::vector<int> every_process() {
    std::vector<int> pids(65536);
    int count = static_cast<int>(pids.size());
    (void)ListProcesses(pids.data(), &count);
    pids.resize(static_cast<std::size_t>(count));
    return pids;
}

void BM_GetProcessModules_AllProcesses(benchmark::State& state) {
    const std::vector<int> pids = every_process();
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        for (int pid : pids) {
            size_t size = buffer.size();
            benchmark::DoNotOptimize(GetProcessModules(static_cast<unsigned>(pid), buffer.data(), &size));
        }
    }
    state.counters["processes"] = static_cast<double>(pids.size());
}

void BM_ReadSmaps_AllProcesses(benchmark::State& state) {
    const std::vector<int> pids = every_process();
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        for (int pid : pids) {
            const int fd = open(("/proc/" + std::to_string(pid) + "/smaps").c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            while (read(fd, buffer.data(), buffer.size()) > 0) {
            }
            close(fd);
        }
    }
    state.counters["processes"] = static_cast<double>(pids.size());
}

BENCHMARK(BM_ElfVersion_1MB);
BENCHMARK(BM_ElfVersion_1GB);
BENCHMARK(BM_ReadelfVersion_1GB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjcopyDumpSection_1GB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListProcesses);
BENCHMARK(BM_ReaddirProc);
BENCHMARK(BM_GetProcessModules_AllProcesses)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadSmaps_AllProcesses)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
