// Process lists, parents, executables and mapped files of real child
// processes, and KillProcess's choice between a group and one process.
#include "process_info.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

using namespace std::chrono_literals;
using kv::test::ChildProcess;

std::vector<int> all_processes() {
    std::vector<int> pids(4096);
    int count = static_cast<int>(pids.size());
    EXPECT_EQ(ListProcesses(pids.data(), &count), 0);
    pids.resize(static_cast<std::size_t>(std::min(count, 4096)));
    return pids;
}

bool contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Waits until `pid` runs `program` (a spawned child may not have executed
// it yet when its id is known).
bool wait_for_exe(int pid, const std::string& program) {
    for (int i = 0; i < 500; ++i) {
        std::error_code error;
        if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string() == program)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Waits until `pid`'s children number `n` (a shell starts them a moment later).
std::vector<int> children_of(int pid, int n) {
    std::vector<int> ids(64);
    for (int i = 0; i < 200; ++i) {
        int count = static_cast<int>(ids.size());
        EXPECT_EQ(ListChildProcesses(static_cast<unsigned long>(pid), ids.data(), &count), 0);
        if (count == n) {
            ids.resize(static_cast<std::size_t>(count));
            return ids;
        }
        std::this_thread::sleep_for(10ms);
    }
    return {};
}

TEST(ProcessInfo, ListsCountBeyondTheirCapacity) {
    ChildProcess a, b, c;
    ASSERT_TRUE(a.start({"/bin/sleep", "100"}));
    ASSERT_TRUE(b.start({"/bin/sleep", "100"}));
    ASSERT_TRUE(c.start({"/bin/sleep", "100"}));
    const std::vector<int> all = all_processes();
    for (int pid : {a.pid(), b.pid(), c.pid(), static_cast<int>(getpid())})
        EXPECT_TRUE(contains(all, pid)) << pid;
    ASSERT_GE(all.size(), 4u);

    std::vector<int> few(all.size(), -7);
    int count = static_cast<int>(all.size()) - 1;
    EXPECT_EQ(ListProcesses(few.data(), &count), 0);
    EXPECT_EQ(count, static_cast<int>(all.size()));
    EXPECT_EQ(few.back(), -7);   // one short: the last slot is not written
    count = 0;
    EXPECT_EQ(ListProcesses(nullptr, &count), 0);
    EXPECT_EQ(count, static_cast<int>(all.size()));
}

TEST(ProcessInfo, AnUnreadableProcDirectoryCountsNothing) {
    // An unprivileged child behind a /proc it may not read.
    const int r = kv::test::run_in_private_mounts([] {
        if (mount("kv-test", "/proc", "tmpfs", 0, "mode=0700") != 0 ||
            setresgid(kv::test::kUnprivilegedGid, kv::test::kUnprivilegedGid, kv::test::kUnprivilegedGid) != 0 ||
            setresuid(kv::test::kUnprivilegedUid, kv::test::kUnprivilegedUid, kv::test::kUnprivilegedUid) != 0)
            return 100;
        int pids[8];
        int count = 8;
        if (ListProcesses(pids, &count) != 0 || count != 0)
            return 1;
        count = 8;
        if (ListChildProcesses(1, pids, &count) != 0 || count != 0)
            return 2;
        return 0;
    });
    EXPECT_EQ(r, 0);
}

TEST(ProcessInfo, ChildrenAndParents) {
    ChildProcess shell;
    ASSERT_TRUE(shell.start({"/bin/sh", "-c", "/bin/sleep 100 & /bin/sleep 100 & wait"}));
    const std::vector<int> grandchildren = children_of(shell.pid(), 2);
    ASSERT_EQ(grandchildren.size(), 2u);
    for (int pid : grandchildren) {
        EXPECT_EQ(IsProcessParent(pid, static_cast<unsigned long>(shell.pid())), 1);
        EXPECT_EQ(IsProcessParent(pid, static_cast<unsigned long>(getpid())), 0);
    }
    EXPECT_EQ(IsProcessParent(shell.pid(), static_cast<unsigned long>(getpid())), 1);
    std::vector<int> mine(64);
    int count = static_cast<int>(mine.size());
    EXPECT_EQ(ListChildProcesses(static_cast<unsigned long>(getpid()), mine.data(), &count), 0);
    mine.resize(static_cast<std::size_t>(count));
    EXPECT_TRUE(contains(mine, shell.pid()));
    EXPECT_FALSE(contains(mine, grandchildren[0]));
    EXPECT_EQ(IsProcessParent(INT_MAX, 1), 0);
    EXPECT_EQ(IsProcessParent(0, 0), 0);
    (void)kill(grandchildren[0], SIGKILL);
    (void)kill(grandchildren[1], SIGKILL);
}

TEST(ProcessInfo, RunningAndBitness) {
    ChildProcess child;
    ASSERT_TRUE(child.start({"/bin/sleep", "100"}));
    EXPECT_EQ(IsProcessRunning(child.pid()), 1);
    EXPECT_EQ(IsProcess64bits(child.pid()), 1);   // the machine's own /bin/sleep
    // Our own executable: this build's class (the emulator shows the guest's).
    EXPECT_EQ(IsProcess64bits(getpid()), sizeof(void*) == 8 ? 1 : 0);
    const int pid = child.pid();
    child.stop();
    errno = 0;
    EXPECT_EQ(IsProcessRunning(pid), 0);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(IsProcess64bits(pid), 0);
    for (int group_id : {0, -1, -static_cast<int>(getpgrp())}) {
        errno = 0;
        EXPECT_EQ(IsProcessRunning(group_id), 0) << group_id;
        EXPECT_EQ(errno, ESRCH);
    }
    // A process it may not signal counts as not running.
    const int r = kv::test::run_in_private_mounts([] {
        const pid_t root_process = getppid();
        if (setresuid(kv::test::kUnprivilegedUid, kv::test::kUnprivilegedUid, kv::test::kUnprivilegedUid) != 0)
            return 100;
        errno = 0;
        return IsProcessRunning(root_process) == 0 && errno == ESRCH ? 0 : 1;
    });
    EXPECT_EQ(r, 0);
}

TEST(ProcessInfo, FullPathIsCopiedOnlyWhenItFits) {
    ChildProcess child;
    ASSERT_TRUE(child.start({"/bin/sleep", "100"}));
    const std::string expected = std::filesystem::canonical("/bin/sleep").string();
    ASSERT_TRUE(wait_for_exe(child.pid(), expected));
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    size_t size = 5;
    EXPECT_EQ(GetProcessFullPath(child.pid(), buffer, &size), 0);
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(buffer[0], '#');
    size = expected.size();   // no room for the terminator
    EXPECT_EQ(GetProcessFullPath(child.pid(), buffer, &size), 0);
    EXPECT_EQ(buffer[0], '#');
    size = expected.size() + 1;
    EXPECT_EQ(GetProcessFullPath(child.pid(), buffer, &size), 0);
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(size, expected.size());
    size = sizeof buffer;
    EXPECT_EQ(GetProcessFullPath(INT_MAX, buffer, &size), 4);
    EXPECT_EQ(GetProcessFullPath(child.pid(), nullptr, &size), 4);
    EXPECT_EQ(GetProcessFullPath(child.pid(), buffer, nullptr), 4);
    EXPECT_EQ(GetProcessFullPath(0, buffer, &size), 4);
}

// Splits the module list: paths each followed by two NUL bytes.
std::vector<std::string> module_paths(const char* buffer, std::size_t size) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < size) {
        const std::string path(buffer + at);
        out.push_back(path);
        at += path.size() + 2;
    }
    return out;
}

TEST(ProcessInfo, ModulesAreWholePathsEachOnce) {
    // Two copies of a small library, one path the tail of the other, loaded
    // into a child (the later one lands lower, so the longer path comes
    // first in the map).
    kv::test::TempDir dir("kvmod");
    const std::string inner = dir.path() + "/x.so";
    const std::string outer = dir.path() + "/n" + dir.path() + "/x.so";
    std::filesystem::create_directories(std::filesystem::path(outer).parent_path());
    const char* library = "/lib/x86_64-linux-gnu/libdl.so.2";
    ASSERT_TRUE(std::filesystem::exists(library));
    std::filesystem::copy_file(library, inner);
    std::filesystem::copy_file(library, outer);
    ChildProcess child;
    kv::test::RunOptions options;
    options.extra_env = {"LD_PRELOAD=" + inner + ":" + outer};
    ASSERT_TRUE(child.start({"/bin/sleep", "100"}, options));

    // Until the child has replaced itself with the program and its preloads.
    std::vector<char> buffer(65536, '#');
    size_t size = 0;
    std::vector<std::string> paths;
    for (int i = 0; i < 500; ++i) {
        size = buffer.size();
        ASSERT_EQ(GetProcessModules(static_cast<unsigned>(child.pid()), buffer.data(), &size), 0);
        ASSERT_LT(size, buffer.size());
        paths = module_paths(buffer.data(), size);
        if (std::find(paths.begin(), paths.end(), outer) != paths.end())
            break;
        std::this_thread::sleep_for(10ms);
    }
    const auto at = [&](const std::string& p) { return std::find(paths.begin(), paths.end(), p) - paths.begin(); };
    ASSERT_LT(at(outer), static_cast<long>(paths.size()));
    ASSERT_LT(at(outer), at(inner));   // the longer path is stored first...
    EXPECT_LT(at(inner), static_cast<long>(paths.size()));   // ...and the shorter one still follows
    EXPECT_LT(at(std::filesystem::canonical("/bin/sleep").string()), static_cast<long>(paths.size()));
    for (const std::string& p : paths)
        EXPECT_EQ(std::count(paths.begin(), paths.end(), p), 1) << p;

    // Exactly the size leaves no byte free: that overflows; one more fits.
    const size_t full = size;
    std::vector<char> exact(full + 1, '#');
    size = full + 1;
    ASSERT_EQ(GetProcessModulesImpl(static_cast<unsigned>(child.pid()), exact.data(), &size), 0);
    EXPECT_EQ(size, full);
    EXPECT_EQ(std::string(exact.data(), full), std::string(buffer.data(), full));
    size = full;
    ASSERT_EQ(GetProcessModulesImpl(static_cast<unsigned>(child.pid()), exact.data(), &size), 0);
    EXPECT_GT(size, full);

    size = 16;
    EXPECT_EQ(GetProcessModules(0, buffer.data(), &size), 4);
    EXPECT_EQ(GetProcessModules(1, nullptr, &size), 4);
    size = 0;
    EXPECT_EQ(GetProcessModules(1, buffer.data(), &size), 4);
    size = 16;
    EXPECT_EQ(GetProcessModules(static_cast<unsigned>(INT_MAX), buffer.data(), &size), -1);
}

TEST(ProcessInfo, KillProcessNeverReachesTheCallersGroup) {
    // A child in our own group: only it is signalled, we live on.
    ChildProcess same_group;
    ASSERT_TRUE(same_group.start({"/bin/sleep", "100"}));
    EXPECT_EQ(KillProcess(same_group.pid()), 0);
    int status = 0;
    ASSERT_TRUE(same_group.wait_exit(5s, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

    // A child leading its own group: the whole group ends.
    ChildProcess leader;
    ASSERT_TRUE(leader.start({"/usr/bin/setsid", "/bin/sh", "-c", "/bin/sleep 100 & wait"}));
    const std::vector<int> members = children_of(leader.pid(), 1);
    ASSERT_EQ(members.size(), 1u);
    ASSERT_EQ(getpgid(leader.pid()), leader.pid());
    EXPECT_EQ(KillProcess(leader.pid()), 0);
    ASSERT_TRUE(leader.wait_exit(5s));
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        gone = kill(members[0], 0) != 0;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone);

    errno = 0;
    EXPECT_EQ(KillProcess(1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(KillProcess(0), -1);
    EXPECT_EQ(KillProcess(-1), -1);
    EXPECT_EQ(KillProcess(INT_MAX), -1);
}

}  // namespace
