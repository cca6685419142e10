// Kernel commands: the command-file name, refusals without a seed or with a
// seed that garbles the name, no driver (missing, planted file, FIFO,
// link), and the round trip through the driver stand-in in a real process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "memdef.h"
#include "process.hpp"
#include "testing/test_child.hpp"

namespace {

using kv::md::test::in_child;
using kv::md::test::read_all;

TEST(KernelCommand, WithoutDriverEveryOpenFails) {
    kv::test::TempDir dir("mdkcmd");
    EXPECT_EQ(in_child([&] {
        setenv("TMPDIR", dir.path().c_str(), 1);
        memdef_initialize(nullptr, 0);
        std::string err;
        // No seed: nothing is sent.
        if (request_kernel_mprotect(&err, 4096, 5) != -1 || disable_memdef_kernel_cmd() != -1)
            err += " sent without a seed;";
        // ENOENT: nobody there.
        if (md_ac_send_kernel_cmd("abc", 3) != -1)
            err += " ENOENT not -1;";
        // A plain file, a FIFO and a link under command names: the open
        // succeeds or is refused, never blocks, and counts as no answer.
        const int fd = open(dir.file("KorMKC.file").c_str(), O_WRONLY | O_CREAT, 0600);
        close(fd);
        if (mkfifo(dir.file("KorMKC.fifo").c_str(), 0600) != 0 ||
            symlink("/etc/hostname", dir.file("KorMKC.link").c_str()) != 0)
            return std::string("cannot plant");
        for (const char* name : {"file", "fifo", "link"})
            if (md_ac_send_kernel_cmd(name, strlen(name)) != -1)
                err += std::string(" ") + name + " not -1;";
        // Names that would leave the directory or be cut short are not sent.
        if (md_ac_send_kernel_cmd("../x", 4) != -1 || md_ac_send_kernel_cmd("a\0b", 3) != -1)
            err += " bad bytes sent;";
        return err;
    }), "");
}

std::vector<std::string> probe_argv(const std::vector<std::string>& args, bool with_driver) {
    std::vector<std::string> argv = kv::test::emulator_prefix();
    if (with_driver && !argv.empty()) {
        argv.push_back("-E");
        argv.push_back(std::string("LD_PRELOAD=") + KV_DRIVER_STANDIN);
    }
    argv.push_back(KV_KCMD_PROBE);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

struct ProbeCase {
    const char* name;
    bool driver;
    std::vector<std::string> args;     // seed, steps
    std::string out;                   // the probe's lines
    std::vector<std::string> log;      // commands the driver carried out (prefixes)
};

TEST(KernelCommand, RoundTripThroughDriverStandIn) {
    const std::vector<ProbeCase> cases = {
        {"acknowledged, then closed", true, {"1", "mprotect", "disable", "mprotect", "disable"},
         "mprotect 0 r--p\ndisable 0\nmprotect -1 r--p\ndisable -1\n", {"mprotect(0x", "disableKorMKC("}},
        {"negative seed", true, {"-80", "mprotect", "disable"}, "mprotect 0 r--p\ndisable 0\n",
         {"mprotect(0x", "disableKorMKC("}},
        {"seed turning '(' into '/' is refused", true, {"7", "mprotect"}, "mprotect -1 rw-p\n", {}},
        {"seed turning 'm' into '/' is refused", true, {"-62", "mprotect"}, "mprotect -1 rw-p\n", {}},
        {"seed turning 'm' into 0 is refused", true, {"147", "mprotect"}, "mprotect -1 rw-p\n", {}},
        {"no seed", true, {"0", "mprotect"}, "mprotect -1 rw-p\n", {}},
        {"no driver listening", false, {"1", "mprotect", "disable"}, "mprotect -1 rw-p\ndisable -1\n", {}},
    };
    for (const auto& c : cases) {
        kv::test::TempDir dir("mdkcmd");
        kv::test::RunOptions opt;
        opt.extra_env = {"TMPDIR=" + dir.path(), "KV_DRIVER_SEED=" + c.args[0],
                         "KV_DRIVER_LOG=" + dir.file("driver.log"), "ASAN_OPTIONS=verify_asan_link_order=0"};
        if (c.driver && kv::test::emulator_prefix().empty())
            opt.extra_env.push_back(std::string("LD_PRELOAD=") + KV_DRIVER_STANDIN);
        const auto r = kv::test::run_program(probe_argv(c.args, c.driver), opt);
        EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
        const std::string log = read_all(dir.file("driver.log"));
        std::size_t pos = 0;
        for (const auto& prefix : c.log) {
            EXPECT_EQ(log.compare(pos, prefix.size(), prefix), 0) << c.name << ": log " << log;
            pos = log.find('\n', pos);
            if (pos == std::string::npos)
                break;
            ++pos;
        }
        if (c.log.empty()) {
            EXPECT_EQ(log, "") << c.name;
        }
    }
}

TEST(KernelCommand, LoaderStartsTheLibrary) {
    for (const char* table : {"AACB", "-"}) {
        kv::test::TempDir dir("mdkcmd");
        kv::test::RunOptions opt;
        opt.built_program = true;
        opt.extra_env = {"TMPDIR=" + dir.path()};
        const auto r = kv::test::run_program({KV_LOADER, KV_MEMDEF_LIBRARY, "1", table}, opt);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "memdef_initialize: 0\n");
    }
}

}  // namespace
