// Event files in real processes: byte layout, names and counter, the
// reader tool's view, planted links and FIFOs, capacity, the temp
// directory, and the kill response.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "memdef.h"
#include "process.hpp"
#include "testing/test_child.hpp"

namespace {

using kv::md::test::in_child;
using kv::md::test::read_all;
using kv::md::test::run_in_child;

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string real(const std::string& path) {
    char out[PATH_MAX];
    return realpath(path.c_str(), out) ? std::string(out) : path;
}

std::string own_exe() {
    char exe[1024] = {};
    (void)!readlink("/proc/self/exe", exe, sizeof exe - 1);
    return exe;
}

// A started library whose events go to `dir`.
void start_in(const std::string& dir, const char* policy = nullptr) {
    setenv("TMPDIR", dir.c_str(), 1);
    if (policy != nullptr)
        setenv("MEMDEF_POLICY", policy, 1);
    else
        unsetenv("MEMDEF_POLICY");
    memdeflinux_initialize();
}

std::string event_name(pid_t pid, long t, unsigned counter) {
    return "KorvaneMemDef." + std::to_string(pid) + "." + std::to_string(t) + "." + std::to_string(counter) + ".kor";
}

bool name_matches(const std::string& name, pid_t pid, unsigned counter) {
    const std::string head = "KorvaneMemDef." + std::to_string(pid) + ".";
    const std::string tail = "." + std::to_string(counter) + ".kor";
    return name.size() > head.size() + tail.size() && name.compare(0, head.size(), head) == 0 &&
           name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(EventFile, ImageLayoutBytes) {
    kv::test::TempDir dir("mdevent");
    const auto child = run_in_child([&] {
        start_in(dir.path());
        std::uint8_t header[12], list[50];
        for (int i = 0; i < 12; ++i)
            header[i] = static_cast<std::uint8_t>(0xA0 + i);
        for (int i = 0; i < 50; ++i)
            list[i] = static_cast<std::uint8_t>(i);
        return md_ac_send_event(header, 12, list, 50) == 1 ? std::string() : std::string("not sent");
    });
    ASSERT_EQ(child.message, "");
    const auto names = list_dir(dir.path());
    ASSERT_EQ(names.size(), 1u);
    ASSERT_TRUE(name_matches(names[0], child.pid, 0)) << names[0];
    const std::string path = real(dir.file(names[0]));
    std::string data = read_all(path);
    ASSERT_EQ(data.size(), 88u);
    cryptor(path.c_str(), data.data(), data.size(), 0);
    auto word = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | static_cast<std::uint8_t>(data[at + i]);
        return v;
    };
    EXPECT_EQ(data.substr(0, 4), "\x1A\x4D\x76\x4B");
    EXPECT_EQ(word(4), 1u);
    EXPECT_EQ(word(8), 2u);
    EXPECT_EQ(word(12), static_cast<std::uint32_t>(child.pid));
    EXPECT_EQ(word(16), 86u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(static_cast<std::uint8_t>(data[20 + i]), 0xA0 + i);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(static_cast<std::uint8_t>(data[32 + i]), i);
    EXPECT_EQ(word(82), 0x4B764D1Au);
    EXPECT_EQ(static_cast<std::uint8_t>(data[86]), 0x22);
    EXPECT_EQ(static_cast<std::uint8_t>(data[87]), 0x23);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(EventFile, ReportsReadBackByTheReaderTool) {
    kv::test::TempDir dir("mdevent");
    const auto child = run_in_child([&] {
        start_in(dir.path(), "AC");
        if (CommReportEventStackProtect("mprotect", reinterpret_cast<void*>(0x1000), 0x2000, 7) != 2)
            return std::string("StackProtect action");
        if (CommReportEventDYLDInject("dlopen", "libx.so \"quoted\"") != 1)
            return std::string("DYLDInject action");
        return std::string();
    });
    ASSERT_EQ(child.message, "");
    const auto names = list_dir(dir.path());
    ASSERT_EQ(names.size(), 2u) << "no temporary file may be left";
    const std::string uid = std::to_string(geteuid());
    const std::string exe = own_exe();
    struct Expect {
        unsigned counter;
        int type, action;
        std::string text, json_text;
    };
    const Expect expects[] = {
        {0, 2, 2, "CalledAPI:mprotect,\x10TargetAddress:1000,Size:2000,NewPagePermissions:0x7",
         "CalledAPI:mprotect,\\u0010TargetAddress:1000,Size:2000,NewPagePermissions:0x7"},
        {1, 23, 1, "CalledAPI:dlopen,\x10injectedDylibs:libx.so \"quoted\"",
         "CalledAPI:dlopen,\\u0010injectedDylibs:libx.so \\\"quoted\\\""},
    };
    for (const auto& e : expects) {
        const auto it = std::find_if(names.begin(), names.end(),
                                     [&](const std::string& n) { return name_matches(n, child.pid, e.counter); });
        ASSERT_NE(it, names.end()) << "counter " << e.counter;
        kv::test::RunOptions opt;
        opt.built_program = true;
        const auto r = kv::test::run_program({KV_EVENT_READER, dir.file(*it)}, opt);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::size_t length = 20 + 12 + 16 + exe.size() + uid.size() + 12 + e.text.size() + 4;
        EXPECT_EQ(r.out, "{\"violation_type\":" + std::to_string(e.type) + ",\"action\":" + std::to_string(e.action) +
                             ",\"pid\":" + std::to_string(child.pid) + ",\"length\":" + std::to_string(length) +
                             ",\"parameters\":[\"" + exe + "\",\"" + uid + "\",\"3.1.1000.340\",\"" + e.json_text +
                             "\"]}\n");
        // Read under any other path, the key differs and the file is rejected.
        const auto wrong = kv::test::run_program({KV_EVENT_READER, "--key-path", "/tmp/x.kor", dir.file(*it)}, opt);
        EXPECT_EQ(wrong.exit_code, 1);
    }
}

struct Corruption {
    const char* name;
    void (*apply)(std::string& plain);
    const char* reason;       // part of the reader's message
};

TEST(EventFile, ReaderRejectsDamagedFiles) {
    kv::test::TempDir dir("mdevent");
    const auto child = run_in_child([&] {
        start_in(dir.path());
        // Header (type 2, action 0, one parameter) and a one-parameter list.
        const std::uint8_t header[12] = {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
        const std::uint8_t list[9] = {5, 0, 0, 4, 'h', 'e', 'l', 'l', 'o'};
        return md_ac_send_event(header, 12, list, 9) == 1 ? std::string() : std::string("not sent");
    });
    ASSERT_EQ(child.message, "");
    const auto names = list_dir(dir.path());
    ASSERT_EQ(names.size(), 1u);
    const std::string path = real(dir.file(names[0]));
    std::string original = read_all(path);
    ASSERT_EQ(original.size(), 48u);   // 20 + 12 + 9 + 4 = 45, padded to 48
    cryptor(path.c_str(), original.data(), original.size(), 0);

    const Corruption cases[] = {
        {"intact", [](std::string&) {}, nullptr},
        {"magic", [](std::string& p) { p[0] ^= 1; }, "bad magic"},
        {"kind", [](std::string& p) { p[8] = 3; }, "not an event"},
        {"length too long", [](std::string& p) { p[16] = static_cast<char>(p[16] + 8); }, "length field"},
        {"truncated", [](std::string& p) { p.resize(p.size() - 8); }, "length field"},
        {"trailer", [](std::string& p) { p[p[16] - 1] ^= 1; }, "bad trailer"},
        {"padding", [](std::string& p) { p.back() ^= 1; }, "bad padding"},
        {"count too high", [](std::string& p) { p[28] = 2; }, "parameter list truncated"},
        {"count too low", [](std::string& p) { p[28] = 0; }, "bytes after the parameter list"},
        {"value length", [](std::string& p) { p[32] = 9; }, "parameter value truncated"},
    };
    for (const auto& c : cases) {
        std::string plain = original;
        c.apply(plain);
        cryptor(path.c_str(), plain.data(), plain.size(), 1);
        const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
        close(fd);
        kv::test::RunOptions opt;
        opt.built_program = true;
        const auto r = kv::test::run_program({KV_EVENT_READER, path}, opt);
        if (c.reason == nullptr) {
            EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
            EXPECT_NE(r.out.find("\"parameters\":[\"hello\"]"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.exit_code, 1) << c.name;
            EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.name << ": " << r.err;
        }
    }
}

TEST(EventFile, PlantedLinksAndFifosAreNeverFollowed) {
    kv::test::TempDir dir("mdevent");
    const std::string victim = dir.file("victim");
    {
        const int fd = open(victim.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(write(fd, "keep", 4), 4);
        close(fd);
    }
    const auto child = run_in_child([&] {
        start_in(dir.path());
        const long now = static_cast<long>(std::time(nullptr));
        for (long t = now; t < now + 3; ++t) {
            const std::string base = dir.file(event_name(getpid(), t, 0));
            if (symlink(victim.c_str(), (dir.path() + "/." + event_name(getpid(), t, 0) + ".tmp").c_str()) != 0 ||
                mkfifo((dir.path() + "/." + event_name(getpid(), t, 1) + ".tmp").c_str(), 0600) != 0 ||
                symlink(victim.c_str(), dir.file(event_name(getpid(), t, 2)).c_str()) != 0)
                return std::string("cannot plant");
        }
        std::uint8_t h[12] = {1}, l[8] = {2};
        if (md_ac_send_event(h, 12, l, 8) != 1)
            return std::string("event with a free fourth name was not written");
        // Four taken names in a row: the event is dropped, nothing followed.
        for (long t = now; t < now + 3; ++t)
            for (unsigned c = 4; c < 8; ++c)
                if (mkfifo((dir.path() + "/." + event_name(getpid(), t, c) + ".tmp").c_str(), 0600) != 0)
                    return std::string("cannot plant");
        if (md_ac_send_event(h, 12, l, 8) != 0)
            return std::string("event written although every name was taken");
        return std::string();
    });
    ASSERT_EQ(child.message, "");
    EXPECT_EQ(read_all(victim), "keep");
    std::vector<std::string> events;
    for (const auto& n : list_dir(dir.path()))
        if (n[0] == 'K' && n.find(".kor") != std::string::npos) {
            struct stat st;
            ASSERT_EQ(lstat(dir.file(n).c_str(), &st), 0);
            if (S_ISREG(st.st_mode))
                events.push_back(n);
        }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(name_matches(events[0], child.pid, 3)) << events[0];
}

// The event text of each reporting operation, as the reader prints it.
std::string read_event_text(const std::string& path) {
    kv::test::RunOptions opt;
    opt.built_program = true;
    const auto r = kv::test::run_program({KV_EVENT_READER, path}, opt);
    const std::size_t at = r.out.rfind(",\"CalledAPI:");
    return r.exit_code == 0 && at != std::string::npos ? r.out.substr(at + 2, r.out.size() - at - 6) : r.err;
}

std::string hex(std::uintptr_t v) {
    char b[32];
    snprintf(b, sizeof b, "%lx", static_cast<unsigned long>(v));
    return b;
}

TEST(EventFile, StackPivotTextCarriesTheThreadsStack) {
    kv::test::TempDir dir("mdevent");
    std::string low_text, high_text;
    const auto child = run_in_child([&] {
        start_in(dir.path());
        uintptr_t low = 0;
        size_t size = 0;
        if (getstackdata(&low, &size) != 0)
            return std::string("the loading thread's stack is not recorded");
        // Loading thread: its recorded bounds. A thread started elsewhere:
        // none recorded, so 0 and the 8 MiB default.
        CommReportEventStackPivot("mmap", reinterpret_cast<void*>(0x1234));
        pthread_t t;
        pthread_create(&t, nullptr, [](void*) -> void* {
            uintptr_t l = 1;
            size_t z = 1;
            if (getstackdata(&l, &z) != 1 || getstacksize() != 0x800000)
                return reinterpret_cast<void*>(1);
            CommReportEventStackPivot("pthread_create", reinterpret_cast<void*>(0xabc));
            return nullptr;
        }, nullptr);
        void* r = nullptr;
        pthread_join(t, &r);
        if (r != nullptr)
            return std::string("an unknown thread has a stack record");
        return "bounds " + hex(low) + " " + hex(low + size);
    });
    ASSERT_EQ(child.message.compare(0, 7, "bounds "), 0) << child.message;
    const std::string bounds = child.message.substr(7);
    const std::string low = bounds.substr(0, bounds.find(' ')), high = bounds.substr(bounds.find(' ') + 1);
    const auto names = list_dir(dir.path());
    ASSERT_EQ(names.size(), 2u);
    for (const auto& n : names) {
        if (name_matches(n, child.pid, 0))
            EXPECT_EQ(read_event_text(dir.file(n)),
                      "CalledAPI:mmap,\\u0010StackAddress:1234,StackMin:" + low + ",StackMax:" + high);
        else
            EXPECT_EQ(read_event_text(dir.file(n)),
                      "CalledAPI:pthread_create,\\u0010StackAddress:abc,StackMin:0,StackMax:800000");
    }
}

TEST(EventFile, ConcurrentReportsGetDistinctCounters) {
    kv::test::TempDir dir("mdevent");
    const auto child = run_in_child([&] {
        start_in(dir.path());
        pthread_t threads[4];
        for (auto& t : threads)
            pthread_create(&t, nullptr, [](void*) -> void* {
                for (int i = 0; i < 25; ++i)
                    if (CommReportEventZeroAllocate("mmap", nullptr, 0) != 0)
                        return reinterpret_cast<void*>(1);
                return nullptr;
            }, nullptr);
        bool ok = true;
        for (auto& t : threads) {
            void* r = nullptr;
            pthread_join(t, &r);
            ok = ok && r == nullptr;
        }
        return ok ? std::string() : std::string("a report failed");
    });
    ASSERT_EQ(child.message, "");
    const auto names = list_dir(dir.path());
    ASSERT_EQ(names.size(), 100u);
    for (unsigned c = 0; c < 100; ++c)
        EXPECT_EQ(std::count_if(names.begin(), names.end(), [&](const std::string& n) { return name_matches(n, child.pid, c); }), 1)
            << "counter " << c;
}

TEST(EventFile, TempDirectoryIsResolvedOnce) {
    kv::test::TempDir first("mdevent"), second("mdevent");
    EXPECT_EQ(in_child([&] {
        start_in(first.path());
        memdeflinux_coma();
        setenv("TMPDIR", second.path().c_str(), 1);
        memdeflinux_initialize();       // a second start-up keeps the directory
        return CommReportEventZeroAllocate("mmap", nullptr, 0) == 0 ? std::string() : std::string("not written");
    }), "");
    EXPECT_EQ(list_dir(first.path()).size(), 1u);
    EXPECT_EQ(list_dir(second.path()).size(), 0u);
}

TEST(EventFile, ListCapacityIsExactly2048) {
    kv::test::TempDir dir("mdevent");
    EXPECT_EQ(in_child([&] {
        start_in(dir.path());
        const std::size_t fixed = 16 + own_exe().size() + std::to_string(geteuid()).size() + 12;
        const std::string fits(2048 - fixed, 'x'), over(2049 - fixed, 'x');
        int32_t action = 9;
        if (CommReportEvent(22, fits.c_str(), &action) != 1 || action != 0)
            return std::string("a 2048-byte list was not sent");
        action = 9;
        if (CommReportEvent(22, over.c_str(), &action) != 0 || action != 9)
            return std::string("a 2049-byte list was sent");
        return list_dir(dir.path()).size() == 1 ? std::string() : std::string("file count");
    }), "");
}

TEST(EventFile, UnwritableDirectoryDropsTheEvent) {
    EXPECT_EQ(in_child([] {
        start_in("/nonexistent/memdef-test");
        // Built-in action for StackPivot is 0; a dropped event answers 1.
        if (CommReportEventStackPivot("mmap", &errno) != 1)
            return std::string("dropped event must answer 1");
        errno = 1234;
        (void)CommReportEventZeroAllocate("mmap", nullptr, 0);
        return errno == 1234 ? std::string() : std::string("errno changed");
    }), "");
}

struct TempDirCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> env;   // null value: unset
    std::size_t size;
    std::string expect;
};

TEST(TempDirectory, ResolutionOrderAndRules) {
    const std::string var_tmp = real("/var/tmp") + "/";
    const std::vector<TempDirCase> cases = {
        {"default", {}, 4096, "/tmp/"},
        {"TMP when TMPDIR unset", {{"TMP", "/var/tmp/"}}, 4096, var_tmp},
        {"TMPDIR first", {{"TMPDIR", "/var/tmp"}, {"TMP", "/nonexistent"}}, 4096, var_tmp},
        {"empty and relative skipped", {{"TMPDIR", ""}, {"TMP", "rel/dir"}, {"TEMP", "/var//tmp"}}, 4096, var_tmp},
        {"TEMPDIR last", {{"TEMPDIR", "/nonexistent/a"}}, 4096, "/nonexistent/a/"},
        {"unresolved kept with one slash", {{"TMPDIR", "/nonexistent/b/"}}, 4096, "/nonexistent/b/"},
        {"small buffer: no realpath, truncated", {{"TMPDIR", "/var//tmp"}}, 6, "/var/"},
        {"small buffer: no room for slash", {{"TMPDIR", "/abcdefgh"}}, 6, "/abcd"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(in_child([&] {
            for (const char* v : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"})
                unsetenv(v);
            for (const auto& [k, v] : c.env)
                setenv(k, v, 1);
            char buf[4096];
            std::memset(buf, 'Z', sizeof buf);
            gettempdir2(buf, c.size);
            return std::string(buf) == c.expect ? std::string() : "got " + std::string(buf);
        }), "") << c.name;
    }
}

TEST(EventResponse, NonKillActionsReturnUnchanged) {
    EXPECT_EQ(in_child([] {
        for (int a : {0, 1, 2, 7, -1})
            if (CommDoEventResponse(a) != a)
                return "action " + std::to_string(a);
        return std::string();
    }), "");
}

// A witness in the reporting process's group: reports whether it was ended
// by SIGTERM within the wait.
pid_t start_witness(int& ret_read_fd) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        sleep(20);
        _exit(0);
    }
    close(fds[1]);
    ret_read_fd = fds[0];
    return pid;
}

TEST(EventResponse, KillEndsProcessAndItsGroup) {
    EXPECT_EQ(in_child([] {
        if (setpgid(0, 0) != 0)
            return std::string("setpgid");
        int fd = -1;
        const pid_t witness = start_witness(fd);
        // This process and the reporter ignore the group's SIGTERM, so the
        // reporter can only end by its own SIGKILL.
        signal(SIGTERM, SIG_IGN);
        const auto reporter = run_in_child([] {
            CommDoEventResponse(3);
            return std::string("survived action 3");
        });
        if (!WIFSIGNALED(reporter.status) || WTERMSIG(reporter.status) != SIGKILL)
            return "reporter not killed by SIGKILL: " + reporter.message;
        int status = 0;
        if (waitpid(witness, &status, 0) != witness || !WIFSIGNALED(status) || WTERMSIG(status) != SIGTERM)
            return std::string("group member did not get SIGTERM");
        return std::string();
    }), "");
}

TEST(EventResponse, GroupOutsideOurPidNamespaceIsNotSignalled) {
    const auto child = run_in_child([] {
        if (setpgid(0, 0) != 0)
            return std::string("setpgid");
        int fd = -1;
        const pid_t witness = start_witness(fd);
        if (unshare(CLONE_NEWPID) != 0) {
            kill(witness, SIGKILL);
            return std::string("no PID namespace");
        }
        // The first child is the namespace's init; its child sees a process
        // group it cannot name (getpgid answers 0).
        const auto init = run_in_child([] {
            const auto reporter = run_in_child([] {
                if (getpgid(0) > 1)
                    return std::string("group visible");
                CommDoEventResponse(3);
                return std::string("survived action 3");
            });
            return WIFSIGNALED(reporter.status) && WTERMSIG(reporter.status) == SIGKILL
                       ? std::string()
                       : "reporter: " + reporter.message;
        });
        std::string result = init.message;
        int status = 0;
        if (waitpid(witness, &status, WNOHANG) != 0)
            result += " the group was signalled";
        kill(witness, SIGKILL);
        waitpid(witness, &status, 0);
        return result;
    });
    if (child.message == "no PID namespace")
        GTEST_SKIP() << "cannot create a PID namespace here";
    EXPECT_EQ(child.message, "");
}

}  // namespace
