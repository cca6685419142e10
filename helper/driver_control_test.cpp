// Driver load and unload against the loader-script, modprobe, uname and
// lsmod stand-ins, module files with version sections, and a /proc/modules
// of the test's own.
#include "driver_control.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "elf_image.hpp"
#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"
#include "namespace_test.hpp"
#include "syslog_recorder.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;

class DriverControl : public kv::test::NamespaceLogTest {
protected:
    void SetUp() override {
        NamespaceLogTest::SetUp();
        if (HasFatalFailure())
            return;
        // The driver sources, present or not, as each test makes them.
        sources_ = std::make_unique<kv::test::TmpfsMount>("/usr/src");
        ASSERT_TRUE(sources_->ok());
    }
    // KvStopKvKext in a child whose /proc holds only `modules` (the
    // machine may have no module list at all).
    static int stop_with_modules(const std::string& modules) {
        return kv::test::run_in_private_mounts([&]() -> int {
            if (::mount("kv-proc", "/proc", "tmpfs", 0, nullptr) != 0 ||
                !kv::test::write_text_file("/proc/modules", modules))
                return 100;
            return KvStopKvKext();
        });
    }

    kv::test::TempDir dir_{"kvdrv"};
    kv::test::ToolStubs stubs_;
    std::unique_ptr<kv::test::TmpfsMount> sources_;
};

TEST_F(DriverControl, LoaderScriptWhenTheDriverSourcesAreInstalled) {
    ASSERT_TRUE(kv::test::install_program(kv::test::tool_stub_program(), "/usr/src/KvGuardDrv-1.2/loadmodule.sh"));
    stubs_.answer("loadmodule.sh", "");
    EXPECT_EQ(KvStartKvKext(), 1);
    const auto calls = stubs_.calls("loadmodule.sh");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"/usr/src/KvGuardDrv-1.2/loadmodule.sh"}));
    EXPECT_TRUE(stubs_.calls("modprobe").empty());
    stubs_.answer("loadmodule.sh", "insmod: ERROR\n", 2);
    EXPECT_EQ(KvStartKvKext(), 0);
    EXPECT_TRUE(log_->wait_for("StartKvDriver 668: error calling loadmodule.sh ", 2s));
}

TEST_F(DriverControl, ModprobeOfBothModulesWithoutTheSources) {
    stubs_.answer("modprobe", "");
    EXPECT_EQ(KvStartKvKext(), 1);
    auto calls = stubs_.calls("modprobe");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"/sbin/modprobe", "kvguardopen"}));
    EXPECT_EQ(calls[1].argv, (std::vector<std::string>{"/sbin/modprobe", "kvguard"}));

    kv::test::ToolStubs fresh;
    stubs_.answer("modprobe", "", 0, 1);
    stubs_.answer("modprobe", "modprobe: FATAL: Module kvguard not found.\n", 1, 2);
    EXPECT_EQ(KvStartKvKext(), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper StartKvDriver 681: modprobe: FATAL: Module kvguard not found.", 2s));
    stubs_.answer("modprobe", "modprobe: FATAL: no kvguardopen\n", 1, 3);
    EXPECT_EQ(KvStartKvKext(), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper StartKvDriver 674: modprobe: FATAL: no kvguardopen", 2s));
    EXPECT_EQ(stubs_.calls("modprobe").size(), 3u);
}

TEST_F(DriverControl, StopLogsModuleVersionsAndChecksTheModuleList) {
    // /lib/modules, which this machine may lack, made in an overlay.
    std::filesystem::create_directories(dir_.file("up"));
    std::filesystem::create_directories(dir_.file("work"));
    const std::string options = "lowerdir=/usr/lib,upperdir=" + dir_.file("up") + ",workdir=" + dir_.file("work");
    ASSERT_EQ(::mount("overlay", "/usr/lib", "overlay", 0, options.c_str()), 0);
    std::filesystem::create_directories("/lib/modules/6.1.0-kvtest/extra");
    const int written = kv::test::write_elf("/lib/modules/6.1.0-kvtest/extra/KvGuardDrv.ko",
                                            kv::test::versioned_elf(std::string("1.2.0.7", 8)));
    stubs_.answer("uname", "6.1.0-kvtest\n");
    stubs_.answer("lsmod", "Module                  Size  Used by\nKvGuardDrv             16384  0\n"
                           "korvanedrvopen          8192  1 KvGuardDrv\nfuse                  147456  3\n");
    stubs_.answer("modprobe", "");
    // A module whose name is only a prefix of the driver's is not the driver.
    EXPECT_EQ(stop_with_modules("KvGuard 16384 0 - Live 0x0000000000000000\nfuse 147456 3 - Live 0x0\n"), 1);
    EXPECT_EQ(stubs_.calls("modprobe")[0].argv, (std::vector<std::string>{"/sbin/modprobe", "-r", "kvguard"}));
    EXPECT_EQ(stubs_.calls("uname")[0].argv, (std::vector<std::string>{"uname", "-r"}));
    EXPECT_TRUE(log_->wait_for("KvHelper: File '/lib/modules/6.1.0-kvtest/extra/KvGuardDrv.ko', version=1.2.0.7", 2s));
    EXPECT_TRUE(log_->wait_for(
        "KvHelper: File '/lib/modules/6.1.0-kvtest/extra/korvanedrvopen.ko'. Failed to get file version, status=-1", 2s));
    EXPECT_TRUE(log_->wait_for("KvHelper: Verification - driver 'KvGuardDrv' is removed", 2s));

    EXPECT_EQ(stop_with_modules("KvGuardDrv 16384 0 - Live 0x0000000000000000\n"), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper: Verification - driver 'KvGuardDrv' is running", 2s));

    stubs_.answer("modprobe", "modprobe: FATAL: Module kvguard is in use.\n", 1);
    EXPECT_EQ(stop_with_modules(""), 0);
    EXPECT_TRUE(log_->wait_for("KvHelper: StopKvDriver - failed to stop driver, msg = modprobe: FATAL: Module kvguard is in use.", 2s));
    EXPECT_EQ(written, 0);
    EXPECT_EQ(::umount2("/usr/lib", MNT_DETACH), 0);
}

}  // namespace
