// Package and module commands against the dpkg, lsmod and which stand-ins.
#include "package_manager.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kvhelper.h"
#include "namespace_test.hpp"
#include "tool_stubs.hpp"

namespace {

using Argv = std::vector<std::string>;

class PackageManager : public kv::test::NamespaceLogTest {
protected:
    kv::test::ToolStubs stubs_;
};

// Much more output than fits: the first size - 1 bytes, and dpkg writes
// all of it (it is not cut off while it installs).
TEST_F(PackageManager, DpkgOutputCollectedAndDpkgRunsToItsEnd) {
    std::string out;
    for (int i = 0; i < 2000; ++i)
        out += "Unpacking line " + std::to_string(i) + "\n";
    stubs_.answer("dpkg", out);
    char buffer[100];
    std::memset(buffer, 'z', sizeof buffer);
    const std::string package = "/tmp/pkg with 'quote' $(x).deb";
    EXPECT_EQ(RunPackageMgr("-i", package.c_str(), buffer, sizeof buffer, 1), 1);
    EXPECT_EQ(std::string(buffer), out.substr(0, 99));
    const auto calls = stubs_.calls("dpkg");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (Argv{"dpkg", "-i", "--", package}));
    EXPECT_TRUE(calls[0].done);
    struct stat st {};
    EXPECT_NE(::stat("/tmp/korvane_fifo", &st), 0);
}

TEST_F(PackageManager, DpkgFailureAndKinds) {
    stubs_.answer("dpkg", "dpkg: error\n", 2);
    char buffer[4096];
    EXPECT_EQ(RunPackageMgr("--purge", "pkg", buffer, sizeof buffer, 1), 0);
    EXPECT_STREQ(buffer, "dpkg: error\n");
    EXPECT_TRUE(log_->wait_for("KvHelper RunPackageMgr 1068: ret=512", std::chrono::seconds(5), 1));

    EXPECT_EQ(RunPackageMgr("-i", "pkg", buffer, sizeof buffer, 2), 0);
    EXPECT_STREQ(buffer, "2 package manager is not supported\n");
    std::strcpy(buffer, "stale");
    EXPECT_EQ(RunPackageMgr("-i", "pkg", buffer, sizeof buffer, 0), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(stubs_.calls("dpkg").size(), 1u);
}

// No fixed pipe name any more: two runs at once both get their own output.
TEST_F(PackageManager, TwoRunsAtOnce) {
    stubs_.answer("dpkg", "first\n", 0, 1);
    stubs_.answer("dpkg", "second\n", 0, 2);
    char a[64], b[64];
    int ra = 0, rb = 0;
    std::thread t([&] { ra = RunPackageMgr("-s", "a", a, sizeof a, 1); });
    rb = RunPackageMgr("-s", "b", b, sizeof b, 1);
    t.join();
    EXPECT_EQ(ra, 1);
    EXPECT_EQ(rb, 1);
    EXPECT_NE(std::string(a), std::string(b));
    EXPECT_TRUE((std::string(a) == "first\n" || std::string(a) == "second\n")) << a;
}

TEST_F(PackageManager, PackageCommandStatus) {
    EXPECT_EQ(RunPackageCommand("true"), 1);
    EXPECT_EQ(RunPackageCommand("echo 'it broke'; exit 1"), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper RunPackageCommand 1011: it broke\n ret=256", std::chrono::seconds(5), 1));
}

TEST_F(PackageManager, VersionText) {
    char buffer[64];
    PackageVersionString("echo 1.2.3-4", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "1.2.3-4");
    PackageVersionString("true", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "0.0.0.0");
    PackageVersionString("echo 9.9; exit 1", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "0.0.0.0");
    char small[4];
    PackageVersionString("echo 1.2.3-4", small, sizeof small);
    EXPECT_STREQ(small, "1.2");
}

TEST_F(PackageManager, DriverModules) {
    stubs_.answer("lsmod", "Module Size Used by\nKvGuardDrvOpen 16384 0\nKvGuardDrv 65536 1 KvGuardDrvOpen\n");
    EXPECT_EQ(DriversRunning(), 1);
    // Only the first module: its name contains the second's, which is not loaded.
    stubs_.answer("lsmod", "Module Size Used by\nKvGuardDrvOpen 16384 0\n");
    EXPECT_EQ(DriversRunning(), 0);
    stubs_.answer("lsmod", "Module Size Used by\nKvGuardDrv 65536 0\n");
    EXPECT_EQ(DriversRunning(), 0);
}

TEST_F(PackageManager, ProgramLookup) {
    EXPECT_EQ(PackageManagerAvailable("dpkg"), 1);
    stubs_.answer("which", "", 1);
    EXPECT_EQ(PackageManagerAvailable("rpm"), 0);
    EXPECT_EQ(PackageManagerAvailable("-a"), 0);
    EXPECT_EQ(PackageManagerAvailable(""), 0);
    const auto calls = stubs_.calls("which");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv, (Argv{"which", "--", "dpkg"}));
    EXPECT_EQ(calls[1].argv, (Argv{"which", "--", "rpm"}));
}

}  // namespace
