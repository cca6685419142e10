// Machine identity, DMI values, kernel version, architecture, host name and
// thread ids, over fixture files bound on the fixed paths.
#include "system_info.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

using kv::test::BindMount;

class SystemInfo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kv::test::in_test_namespace()) << "run through tests/harness/nsrun.sh"; }
    // Binds a file holding `text` over `target` for the rest of the test.
    BindMount* fixture(const std::string& target, const std::string& text) {
        const std::string source = dir_.file("f" + std::to_string(count_++));
        EXPECT_TRUE(kv::test::write_text_file(source, text));
        mounts_.emplace_back(std::make_unique<BindMount>(source, target));
        EXPECT_TRUE(mounts_.back()->ok()) << target;
        return mounts_.back().get();
    }
    kv::test::TempDir dir_{"kvsys"};
    std::vector<std::unique_ptr<BindMount>> mounts_;
    int count_ = 0;
};

TEST_F(SystemInfo, MachineGuidIsGroupedFromTheMachineIdFiles) {
    struct Case {
        const char* name;
        const char* dbus_id;   // null: /var/lib/dbus has no machine-id
        const char* etc_id;
        std::size_t size;
        std::string expected;
    } cases[] = {
        {"dbus file first", "3d1219c7c4c5404aaa1f6d2a48adfda4\n", "00000000000000000000000000000000\n", 64,
         "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"},
        {"etc file without the dbus one", nullptr, "0123456789ABCDEF0123456789abcdef\n", 64,
         "01234567-89AB-CDEF-0123-456789abcdef"},
        {"exactly 36 characters and the terminator", nullptr, "0123456789abcdef0123456789abcdef", 37,
         "01234567-89ab-cdef-0123-456789abcdef"},
        {"36 bytes are too few", nullptr, "0123456789abcdef0123456789abcdef\n", 36, ""},
        {"short line as read", "abc123\n", "", 64, "abc123\n"},
        {"long line cut at 32", "0123456789abcdef0123456789abcdef0123456789\n", "", 64,
         "01234567-89ab-cdef-0123-456789abcdef"},
        {"not hexadecimal", "0123456789abcdef0123456789abcdeg\n", "", 64, "0123456789abcdef0123456789abcdeg"},
        {"empty", nullptr, "", 64, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mounts_.clear();
        std::unique_ptr<kv::test::TmpfsMount> hide;
        if (c.dbus_id != nullptr) {
            fixture("/var/lib/dbus/machine-id", c.dbus_id);
        } else {
            hide = std::make_unique<kv::test::TmpfsMount>("/var/lib/dbus");
            ASSERT_TRUE(hide->ok());
        }
        fixture("/etc/machine-id", c.etc_id);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        GetPlatformProperty("MachineGuid", buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.expected);
        EXPECT_EQ(std::string(buffer + c.expected.size(), c.size - c.expected.size()),
                  std::string(c.size - c.expected.size(), '\0'));
    }
}

TEST_F(SystemInfo, DmiValuesAreTheirFirstLine) {
    fixture("/sys/class/dmi/id/product_serial", "SN-0042\nsecond line\n");
    fixture("/sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f4e4d32\n");
    char buffer[64];
    GetPlatformProperty("SystemSerialNumber", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "SN-0042");
    GetPlatformProperty("SystemUUID", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "4c4c4544-0042-3510-8052-b4c04f4e4d32");
    GetPlatformProperty("SystemSerialNumber", buffer, 4);
    EXPECT_STREQ(buffer, "SN-");
    std::memset(buffer, 'x', sizeof buffer);
    GetPlatformProperty("SystemName", buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
    GetPlatformProperty(nullptr, buffer, sizeof buffer);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(SystemInfo, KernelReleaseFields) {
    struct Case {
        const char* release;
        int major, minor, patch, build;
    } cases[] = {
        {"5.15.0-91-generic\n", 5, 15, 0, 91},     // the build is taken before the '.' fails
        {"5.15.0-91.101-generic\n", 5, 15, 0, 91},
        {"6.18.44-fc-v1403\n", 6, 18, 44, -1},
        {"4.19\n", 4, 19, -1, -1},
        {"garbage\n", -1, -1, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.release);
        mounts_.clear();
        fixture("/proc/sys/kernel/osrelease", c.release);
        int major = -1, minor = -1, patch = -1, build = -1;
        GetOSVersion(&major, &minor, &patch, &build);
        EXPECT_EQ(major, c.major);
        EXPECT_EQ(minor, c.minor);
        EXPECT_EQ(patch, c.patch);
        EXPECT_EQ(build, c.build);
        GetOSVersion(&major, nullptr, &patch, &build);   // harmless
    }
}

TEST_F(SystemInfo, ArchitectureIsCutAndTerminated) {
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    char buffer[65];
    std::memset(buffer, 'x', sizeof buffer);
    GetSystemArchitecture(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, u.machine);
    GetSystemArchitecture(buffer, 4);
    EXPECT_EQ(std::string(buffer), std::string(u.machine).substr(0, 3));
    std::memset(buffer, 'x', sizeof buffer);
    GetSystemArchitecture(buffer, 3);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(SystemInfo, HostNameWithAndWithoutItsDomain) {
    // A UTS namespace of its own lets the child set any host name.
    const int r = kv::test::run_in_private_mounts([] {
        if (unshare(CLONE_NEWUTS) != 0)
            return 100;
        const char name[] = "build-07.lab.example.org";
        if (sethostname(name, sizeof name - 1) != 0)
            return 101;
        char buffer[64];
        if (KvGetHostName(0, buffer, sizeof buffer) != 1 || std::strcmp(buffer, "build-07") != 0)
            return 1;
        if (GetHostName(1, buffer, sizeof buffer) != 1 || std::strcmp(buffer, name) != 0)
            return 2;
        if (GetHostName(2, buffer, sizeof buffer) != 1 || std::strcmp(buffer, "build-07") != 0)
            return 3;
        if (GetHostName(1, buffer, 6) != 1 || std::strcmp(buffer, "build") != 0)
            return 4;
        if (GetHostName(1, nullptr, 6) != 0 || GetHostName(1, buffer, 0) != 0)
            return 5;
        if (sethostname("", 0) != 0)
            return 102;
        buffer[0] = 'x';
        if (GetHostName(1, buffer, sizeof buffer) != 0 || buffer[0] != '\0')
            return 6;
        return 0;
    });
    EXPECT_EQ(r, 0);
}

TEST_F(SystemInfo, ThreadIdsAreTheKernels) {
    EXPECT_EQ(KvGetCurrentThreadId(), getpid());
    int other = 0;
    std::thread t([&other] { other = GetCurrentThreadId(); });
    t.join();
    EXPECT_NE(other, getpid());
    EXPECT_GT(other, 0);
}

TEST_F(SystemInfo, PowerSourceRegistrationReportsMains) {
    unsigned char on_battery = 7;
    EXPECT_EQ(KvRegisterPowerSource(nullptr, &on_battery), 1);
    EXPECT_EQ(on_battery, 0);
    EXPECT_EQ(RegisterPowerSource(nullptr, nullptr), 0);
}

}  // namespace
