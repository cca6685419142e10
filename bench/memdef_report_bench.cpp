// Cost of one memory-defence report (event text, parameters, encrypted
// event file written and renamed into place) beside a baseline that writes
// a file of the same size the plain way, and the event-path formatter
// beside snprintf. Run inside tests/harness/nsrun.sh so /tmp is a tmpfs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "memdef.h"
#include "process.hpp"

namespace {

struct Started {
    kv::test::TempDir dir{"mdbench"};
    Started() {
        setenv("TMPDIR", dir.path().c_str(), 1);
        unsetenv("MEMDEF_POLICY");
        memdeflinux_initialize();
    }
};

Started& started() {
    static Started s;
    return s;
}

// Removes the event file with `counter`, named in this or the previous second.
void remove_event(const std::string& dir, unsigned counter) {
    const long now = static_cast<long>(std::time(nullptr));
    for (long t = now; t >= now - 1; --t) {
        const std::string name = dir + "/KorvaneMemDef." + std::to_string(getpid()) + "." + std::to_string(t) + "." +
                                 std::to_string(counter) + ".kor";
        if (unlink(name.c_str()) == 0)
            return;
    }
}

void BM_ReportEvent(benchmark::State& state) {
    Started& s = started();
    static unsigned counter = 0;
    int local = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CommReportEventStackProtect("mprotect", &local, 4096, 7));
        remove_event(s.dir.path(), counter++);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportEvent);

// Baseline: a file of a typical event's size, snprintf-named, written and
// renamed the same way, without encryption or parameter work.
void BM_PlainFileWriteBaseline(benchmark::State& state) {
    Started& s = started();
    char data[256] = {};
    unsigned counter = 0;
    for (auto _ : state) {
        char name[512], tmp[sizeof name + 8];
        snprintf(name, sizeof name, "%s/plain.%d.%ld.%u.kor", s.dir.path().c_str(), getpid(),
                 static_cast<long>(std::time(nullptr)), counter);
        snprintf(tmp, sizeof tmp, "%s.tmp", name);
        const int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        benchmark::DoNotOptimize(write(fd, data, sizeof data));
        close(fd);
        benchmark::DoNotOptimize(rename(tmp, name));
        unlink(name);
        ++counter;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainFileWriteBaseline);

void BM_MdSprintf(benchmark::State& state) {
    char text[1024];
    int local = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(md_sprintf(text, sizeof text, "CalledAPI:%s,\x10" "TargetAddress:%p,Size:%p,NewPagePermissions:0x%x",
                                            "mprotect", static_cast<void*>(&local), reinterpret_cast<void*>(4096), 7u));
}
BENCHMARK(BM_MdSprintf);

void BM_SnprintfBaseline(benchmark::State& state) {
    char text[1024];
    int local = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(snprintf(text, sizeof text, "CalledAPI:%s,\x10" "TargetAddress:%p,Size:%p,NewPagePermissions:0x%x",
                                          "mprotect", static_cast<void*>(&local), reinterpret_cast<void*>(4096), 7u));
}
BENCHMARK(BM_SnprintfBaseline);

}  // namespace

BENCHMARK_MAIN();
