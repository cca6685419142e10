// Installed hooks in real processes: the probe program starts the library
// under the driver stand-in, one process per case, and the test checks
// what it printed, how it ended and which events it wrote.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "process.hpp"

namespace {

struct HookCase {
    const char* name;
    const char* seed;
    const char* actions;        // policy letters for types 1 (pivot), 2 (protect), ...
    std::string out;            // "" when the process is to be killed
    std::vector<int> events;    // violation types of the event files written, ascending
    int signal = 0;
};

std::vector<std::string> event_files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".kor") == 0)
                names.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    return names;
}

int violation_type(const std::string& path) {
    kv::test::RunOptions opt;
    opt.built_program = true;
    const auto r = kv::test::run_program({KV_EVENT_READER, path}, opt);
    const std::string key = "\"violation_type\":";
    const auto at = r.out.find(key);
    return at == std::string::npos ? -1 : std::stoi(r.out.substr(at + key.size()));
}

// Runs a probe program under the driver stand-in with the given seed.
kv::test::RunResult run_under_driver(const std::string& dir, const char* seed, const std::vector<std::string>& args,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    kv::test::RunOptions opt;
    opt.timeout = timeout;
    opt.extra_env = {"TMPDIR=" + dir, std::string("KV_DRIVER_SEED=") + seed, "ASAN_OPTIONS=verify_asan_link_order=0"};
    std::vector<std::string> argv = kv::test::emulator_prefix();
    if (!argv.empty()) {
        argv.push_back("-E");
        argv.push_back(std::string("LD_PRELOAD=") + KV_DRIVER_STANDIN);
    } else {
        opt.extra_env.push_back(std::string("LD_PRELOAD=") + KV_DRIVER_STANDIN);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return kv::test::run_program(argv, opt);
}

kv::test::RunResult run_probe(const std::string& dir, const char* name, const char* seed, const char* actions) {
    return run_under_driver(dir, seed, {KV_HOOK_PROBE, name, seed, actions});
}

void check(const HookCase& c, const char* probe_case) {
    kv::test::TempDir dir("mdhook");
    const auto r = run_probe(dir.path(), probe_case, c.seed, c.actions);
    if (c.signal != 0) {
        EXPECT_EQ(r.signal, c.signal) << c.name << ": " << r.out << r.err;
    } else {
        EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
    }
    std::vector<int> types;
    for (const auto& f : event_files(dir.path()))
        types.push_back(violation_type(f));
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, c.events) << c.name;
}

constexpr const char* kPatched = "init 0 patched 11111\n";

TEST(Hooks, FiveFunctionsPatchedAndStillBehaving) {
    // The probe prints a "fail ..." line for each result that differs from
    // the unhooked function's.
    check({"hooked", "5", "BB", kPatched, {}}, "hooked");
}

TEST(Hooks, NothingPatchedWithoutSeedOrInSeccompFilterMode) {
    check({"no seed", "0", "BB", "init 0 patched 00000\n", {}}, "hooked");
    kv::test::TempDir dir("mdhook");
    const auto r = run_probe(dir.path(), "seccomp", "5", "BB");
    if (r.out == "no seccomp\n")
        GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(r.out, "init 0 patched 00000\n");
}

TEST(Hooks, StackProtectOnOwnStack) {
    const std::vector<std::pair<HookCase, const char*>> cases = {
        {{"action A: goes ahead, reported", "5", "BA", std::string(kPatched) + "mprotect 0 rw -> r-\n", {2}},
         "protect-stack"},
        {{"action B: goes ahead, reported", "5", "BB", std::string(kPatched) + "mprotect 0 rw -> r-\n", {2}},
         "protect-stack"},
        {{"action C: refused, page unchanged", "5", "BC",
          std::string(kPatched) + "mprotect -1 errno 13 rw -> rw\n", {2}},
         "protect-stack"},
        {{"action D: killed", "5", "BD", "", {2}, SIGKILL}, "protect-stack"},
        {{"the stack's low page", "5", "BC", std::string(kPatched) + "mprotect -1 errno 13 rw -> rw\n", {2}},
         "protect-low"},
        {{"a range from one page below the stack", "5", "BC",
          std::string(kPatched) + "mprotect -1 errno 13 rw -> rw\n", {2}},
         "protect-below"},
        {{"heap: not reported", "5", "BC", std::string(kPatched) + "mprotect 0 rw -> r-\n", {}},
         "protect-heap"},
    };
    for (const auto& [c, probe_case] : cases)
        check(c, probe_case);
}

TEST(Hooks, ComaAndShutdownPassThroughUntilStartedAgain) {
    // New threads still run through the start wrapper (their stack is known).
    check({"coma", "5", "BC", std::string(kPatched) + "mprotect 0 rw -> r-\n", {}}, "coma");
    check({"shutdown", "5", "BC", std::string(kPatched) + "mprotect 0 rw -> r-\n", {}}, "shutdown");
    check({"coma, then started again", "5", "BC",
           std::string(kPatched) + "restart 0\nmprotect -1 errno 13 rw -> rw\n", {2}},
          "coma-restart");
}

// Each trial is a forked child installing the hooks while 4 threads call
// the target. Where the patch displaces one instruction a thread is before
// or after it, never inside, so no trial may crash; where it displaces
// several, a thread caught inside them may crash, and the rate is reported.
class InstallUnderLoad : public testing::TestWithParam<const char*> {};

TEST_P(InstallUnderLoad, NoCrashWhereOneInstructionIsDisplaced) {
    const char* target = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kNativeTrials = 200;   // the sanitizer build looks for memory faults
#else
    constexpr int kNativeTrials = 1000;
#endif
    const int trials = kv::test::emulator_prefix().empty() ? kNativeTrials : 100;
    kv::test::TempDir dir("mdhook");
    const std::string spec = std::string("trials:") + target + ":" + std::to_string(trials);
    // Slow under an emulator beside other tests: the suite's ctest timeout
    // is the real bound.
    const auto r = run_under_driver(dir.path(), "5", {KV_HOOK_PROBE, spec, "5", "BB"}, std::chrono::seconds(280));
    ASSERT_EQ(r.exit_code, 0) << (r.timed_out ? "timed out " : "") << r.err;
    int instructions = 0, count = 0, crashed = -1, hung = -1, unpatched = -1;
    char name[32] = {};
    ASSERT_EQ(sscanf(r.out.c_str(), "%31s displaces %d instructions: %d trials, %d crashed, %d hung, %d unpatched",
                     name, &instructions, &count, &crashed, &hung, &unpatched),
              6)
        << r.out;
    std::cout << r.out;
    RecordProperty("trials", count);
    RecordProperty("crashed", crashed);
    RecordProperty("hung", hung);
    EXPECT_EQ(count, trials);
    EXPECT_EQ(unpatched, 0) << r.out;
    EXPECT_GT(instructions, 0) << r.out;
    if (instructions == 1) {
        EXPECT_EQ(crashed + hung, 0) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Hooks, InstallUnderLoad, testing::Values("mprotect", "mmap", "mremap", "remap_file_pages"),
                         [](const testing::TestParamInfo<const char*>& target) { return std::string(target.param); });

TEST(Hooks, SigsysDuringIslandSearchEndsTheInstallationOnly) {
    // A filter that hides itself from PR_GET_SECCOMP and traps mincore: the
    // library's own SIGSYS handler catches the trap, nothing is patched,
    // the process lives on and its SIGSYS action is as before.
    kv::test::TempDir dir("mdhook");
    const auto r = run_probe(dir.path(), "sigsys", "5", "BB");
    if (r.out == "no seccomp\n")
        GTEST_SKIP() << "no seccomp filters here";
#if !defined(__x86_64__)
    // The 32-bit area is mapped anywhere, without a probe.
    GTEST_SKIP() << "no island search in this build";
#endif
    EXPECT_EQ(r.exit_code, 0) << "signal " << r.signal << " " << r.err;
    EXPECT_EQ(r.out, "init 0 patched 00000\nSIGSYS action restored\n");
}

TEST(Hooks, ViolationInsideAReportIsNotCheckedAgain) {
    // The event file's rename makes another stack page executable: that
    // call goes through unchecked, and only the first violation is written.
    check({"nested", "5", "BB",
           std::string(kPatched) + "inside the report: mprotect 0 -> r-\nmprotect 0 rw -> r-\n", {2}},
          "protect-nested");
}

#ifdef KV_THREAD_SLOT_PROBE
TEST(Hooks, TwentyFirstThreadWaitsForAFreeSlot) {
    kv::test::TempDir dir("mdhook");
    const auto r = run_under_driver(dir.path(), "5", {KV_THREAD_SLOT_PROBE, "5"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "routines started before the 21st creation: 0\n"
              "21st creation returned after the gate opened\n"
              "routines run: 21\n");
}
#endif

TEST(Hooks, StackPivotFromMakecontextStack) {
    check({"reported", "5", "BB", std::string(kPatched) + "mmap mapped\n", {1}}, "pivot");
    check({"refused", "5", "CB", std::string(kPatched) + "mmap MAP_FAILED errno 13\n", {1}}, "pivot");
    // From the pivot stack, making the thread's own stack executable: the
    // pivot is reported first, then the stack change unless the pivot was
    // refused.
    check({"both reported", "5", "BB", std::string(kPatched) + "mprotect 0 -> r-\n", {1, 2}}, "pivot-protect");
    check({"pivot refused", "5", "CB", std::string(kPatched) + "mprotect -1 errno 13 -> rw\n", {1}},
          "pivot-protect");
    check({"stack change refused", "5", "BC", std::string(kPatched) + "mprotect -1 errno 13 -> rw\n", {1, 2}},
          "pivot-protect");
}

}  // namespace
