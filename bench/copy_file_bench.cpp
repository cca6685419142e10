// KvCopyFile of a 100 MB file beside /bin/cp of the same file, in the same
// run, on the same file system (a directory under /var/tmp, disk-backed;
// removed at the end). The destination is removed before each copy, so
// both create it. Run: build/x86_64/bench/copy_file_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kvhelper.h"

extern char** environ;

namespace {

constexpr std::size_t kFileSize = 100u * 1024 * 1024;

struct Files {
    std::string dir, source, destination;
    Files() {
        char pattern[] = "/var/tmp/kvcopybench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        dir = pattern;
        source = dir + "/source";
        destination = dir + "/destination";
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<char> block(1 << 20);
        std::mt19937 gen(7);
        for (auto& c : block)
            c = static_cast<char>(gen());
        for (std::size_t done = 0; done < kFileSize; done += block.size())
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                std::abort();
        (void)::fsync(fd);
        (void)::close(fd);
    }
    ~Files() {
        (void)::unlink(destination.c_str());
        (void)::unlink(source.c_str());
        (void)::rmdir(dir.c_str());
    }
};

Files& files() {
    static Files f;
    return f;
}

void BM_Cp(benchmark::State& state) {
    Files& f = files();
    std::string arg0 = "/bin/cp";
    char* const argv[] = {arg0.data(), f.source.data(), f.destination.data(), nullptr};
    for (auto _ : state) {
        state.PauseTiming();
        (void)::unlink(f.destination.c_str());
        state.ResumeTiming();
        pid_t pid = -1;
        if (::posix_spawn(&pid, "/bin/cp", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn");
            break;
        }
        int status = 0;
        (void)::waitpid(pid, &status, 0);
        if (status != 0) {
            state.SkipWithError("cp failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_KvCopyFile(benchmark::State& state) {
    Files& f = files();
    for (auto _ : state) {
        state.PauseTiming();
        (void)::unlink(f.destination.c_str());
        state.ResumeTiming();
        if (KvCopyFile(f.source.c_str(), f.destination.c_str()) != 0) {
            state.SkipWithError("KvCopyFile");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_KvCopyFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
