// Owner changes: the sudo and who stand-ins record their argv; the owners
// really change through the real chown (with a sudo that runs its
// arguments) and the system call.
#include "file_owner.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <chrono>
#include <string>
#include <vector>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "namespace_test.hpp"
#include "tool_stubs.hpp"

namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

constexpr uid_t kDaemon = 1;   // Debian's daemon user and group

struct stat stat_of(const std::string& path) {
    struct stat st {};
    (void)::stat(path.c_str(), &st);
    return st;
}

class FileOwner : public kv::test::NamespaceLogTest {
protected:
    kv::test::TempDir dir_{"kvowner"};
    kv::test::ToolStubs stubs_;
};

TEST_F(FileOwner, OwnerGroupOfAFileAndOfADirectory) {
    const std::string file = dir_.file("it's a \"file\" $(id)");
    ASSERT_TRUE(kv::test::write_text_file(file, "x"));
    EXPECT_EQ(KvChangeFileOwnerGroup(file.c_str(), "nobody", "nogroup"), 1);
    const std::string sub = dir_.file("a dir");
    ASSERT_TRUE(fs::create_directory(sub));
    EXPECT_EQ(KvChangeFileOwnerGroup(sub.c_str(), "daemon", "daemon"), 1);
    const auto calls = stubs_.calls("sudo");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv, (Argv{"/usr/bin/sudo", "/bin/chown", "--", "nobody:nogroup", file}));
    EXPECT_EQ(calls[1].argv, (Argv{"/usr/bin/sudo", "/bin/chown", "-R", "--", "daemon:daemon", sub}));
    EXPECT_TRUE(log_->wait_for("ChangeFileOwnerGroup: file(" + file + "), isDir(0).", std::chrono::seconds(5)));
    EXPECT_EQ(log_->count("ChangeFileOwnerGroup: file(" + file + "), isDir(0).", LOG_INFO), 1);
    EXPECT_TRUE(log_->wait_for("ChangeFileOwnerGroup: file(" + sub + "), isDir(1).", std::chrono::seconds(5)));
    EXPECT_EQ(log_->count("ChangeFileOwnerGroup: file(" + sub + "), isDir(1).", LOG_INFO), 1);
}

TEST_F(FileOwner, OwnerGroupRefusals) {
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("f"), "x"));
    const std::string f = dir_.file("f");
    struct Case {
        const char* path;
        const char* user;
        const char* group;
    };
    for (const Case& c : {Case{f.c_str(), "", "g"}, Case{f.c_str(), "u", nullptr}, Case{"", "u", "g"},
                          Case{f.c_str(), "-R", "g"}, Case{f.c_str(), "u", "--from=0"},
                          Case{f.c_str(), "u\n", "g"}}) {
        EXPECT_EQ(KvChangeFileOwnerGroup(c.path, c.user, c.group), 0);
    }
    EXPECT_TRUE(log_->wait_for("ChangeFileOwnerGroup: invalid parameter.", std::chrono::seconds(5), 6));
    EXPECT_EQ(KvChangeFileOwnerGroup(dir_.file("none").c_str(), "u", "g"), 0);
    EXPECT_TRUE(log_->wait_for("ChangeFileOwnerGroup: stat failed.", std::chrono::seconds(5), 1));
    EXPECT_TRUE(stubs_.calls("sudo").empty());
    stubs_.answer("sudo", "chown: invalid user\n", 1);
    EXPECT_EQ(KvChangeFileOwnerGroup(f.c_str(), "nosuchuser", "g"), 0);
}

TEST_F(FileOwner, OwnerGroupReallyChanges) {
    // A sudo that runs its arguments, over the stand-in.
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("sudo"), "#!/bin/bash\nexec \"$@\"\n", 0755));
    const kv::test::BindMount sudo(dir_.file("sudo"), "/usr/bin/sudo");
    ASSERT_TRUE(sudo.ok());
    const std::string tree = dir_.file("tree");
    ASSERT_TRUE(fs::create_directories(tree + "/deeper"));
    ASSERT_TRUE(kv::test::write_text_file(tree + "/deeper/f", "x"));
    EXPECT_EQ(KvChangeFileOwnerGroup(tree.c_str(), "daemon", "nogroup"), 1);
    EXPECT_EQ(stat_of(tree + "/deeper/f").st_uid, kDaemon);
    EXPECT_EQ(stat_of(tree + "/deeper/f").st_gid, kv::test::kUnprivilegedGid);
    EXPECT_EQ(KvChangeFileOwnerGroup(tree.c_str(), "no-such-user-here", "nogroup"), 0);
}

TEST_F(FileOwner, OwnerToTheLoggedInUser) {
    const std::string file = dir_.file("mine 'x'");
    ASSERT_TRUE(kv::test::write_text_file(file, "x"));
    stubs_.answer("who", "nobody   pts/0        2026-12-09 10:00 (:0)\n");
    EXPECT_EQ(KvChangeFileOwnerToCurrentUser(file.c_str()), 1);
    EXPECT_EQ(stat_of(file).st_uid, kv::test::kUnprivilegedUid);
    const auto calls = stubs_.calls("who");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (Argv{"/usr/bin/who", "-m"}));
    EXPECT_EQ(KvChangeFileOwnerToCurrentUser(""), 0);
    EXPECT_EQ(KvChangeFileOwnerToCurrentUser(nullptr), 0);
    EXPECT_EQ(stubs_.calls("who").size(), 1u);
}

TEST_F(FileOwner, NoLoggedInUserOrAnOptionForAName) {
    const std::string file = dir_.file("f");
    ASSERT_TRUE(kv::test::write_text_file(file, "x"));
    // No terminal: who prints nothing.
    stubs_.answer("who", "");
    EXPECT_EQ(KvChangeFileOwnerToCurrentUser(file.c_str()), 0);
    stubs_.answer("who", "--reference=/ pts/0\n");
    EXPECT_EQ(KvChangeFileOwnerToCurrentUser(file.c_str()), 0);
    EXPECT_EQ(stat_of(file).st_uid, 0u);
}

TEST_F(FileOwner, ChownSystemCall) {
    const std::string file = dir_.file("f");
    ASSERT_TRUE(kv::test::write_text_file(file, "x"));
    EXPECT_EQ(KvChown(file.c_str(), kDaemon, kv::test::kUnprivilegedGid), 0);
    EXPECT_EQ(stat_of(file).st_uid, kDaemon);
    EXPECT_EQ(stat_of(file).st_gid, kv::test::kUnprivilegedGid);
    EXPECT_EQ(KvChown(nullptr, 0, 0), 0);
    errno = 0;
    EXPECT_EQ(KvChown(dir_.file("none").c_str(), 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
