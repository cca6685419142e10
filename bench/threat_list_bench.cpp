// `korvanectl -t` on a file_states.log of 100,000 records beside a jq
// one-liner printing the same fields from the same file, in one run: wall
// time per run and each process's peak resident memory. Needs the private
// /opt/korvane of tests/harness/nsrun.sh:
//   tests/harness/nsrun.sh build/x86_64/bench/threat_list_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr char kStates[] = "/opt/korvane/HostCache/file_states.log";
constexpr int kRecords = 100000;

// The same fields as the tool prints, with the same state-word priority.
constexpr char kJqProgram[] =
    R"jq(to_entries[] | .value as $v | select(($v|type)=="object" and ($v.ID|type)=="string" and ($v.State|type)=="number")
       | ($v.State|floor) as $s
       | (if (($s/8|floor)%2)==1 then "Quarantined" elif (($s/4|floor)%2)==1 then "Waived"
          elif (($s/2|floor)%2)==1 then "Abnormal" elif ($s%2)==1 then "Unsafe" else "Unknown" end) as $w
       | "\($w) \($v.ID) \(.key)")jq";

long g_file_kib = 0;

void write_states() {
    std::filesystem::create_directories("/opt/korvane/HostCache");
    std::ofstream out(kStates, std::ios::trunc);
    std::mt19937 rng(1);
    const char* hex = "0123456789ABCDEF";
    const int states[] = {1, 2, 4, 5, 8, 9, 12, 16};
    out << "{\n";
    for (int i = 0; i < kRecords; ++i) {
        std::string id(64, '0');
        for (char& c : id)
            c = hex[rng() % 16];
        out << "  \"/home/user" << i % 50 << "/data/dir" << i % 977 << "/file_" << i << ".bin\": {\"ID\": \"" << id
            << "\", \"Score\": \"-0." << i % 100 << "\", \"State\": " << states[rng() % 8] << "}"
            << (i + 1 < kRecords ? ",\n" : "\n");
    }
    out << "}\n";
    out.close();
    struct stat st {};
    stat(kStates, &st);
    g_file_kib = static_cast<long>(st.st_size / 1024);
}

// Runs argv with its output discarded; the child's peak RSS in KiB.
long run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

void measure(benchmark::State& state, const std::vector<std::string>& argv) {
    long peak = 0;
    for (auto _ : state) {
        const long rss = run(argv);
        if (rss < 0) {
            state.SkipWithError("the command failed");
            return;
        }
        peak = rss > peak ? rss : peak;
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak);
    state.counters["rss_per_file_size"] = static_cast<double>(peak) / static_cast<double>(g_file_kib);
}

void BM_KorvanectlThreats(benchmark::State& state) { measure(state, {KV_KORVANECTL, "-t"}); }
void BM_JqThreats(benchmark::State& state) { measure(state, {"/usr/bin/jq", "-r", kJqProgram, kStates}); }

BENCHMARK(BM_JqThreats)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_KorvanectlThreats)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("KV_IN_TEST_NAMESPACE") == nullptr) {
        std::fprintf(stderr, "run through tests/harness/nsrun.sh (it writes /opt/korvane/HostCache)\n");
        return 1;
    }
    write_states();
    std::printf("file_states.log: %d records, %ld KiB\n", kRecords, g_file_kib);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
