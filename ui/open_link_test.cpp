// open_link against a recording stand-in bound over /usr/bin/xdg-open:
// one argument, no shell, not waited for; a start failure prints its line.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "open_link.hpp"
#include "process.hpp"
#include "ui_log.hpp"

namespace {

using namespace std::chrono_literals;

using kv::test::read_text_file;

TEST(OpenLinkTest, StartsTheBrowserWithOneArgumentAndDoesNotWait) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    (void)std::remove("/tmp/xdg-open.log");
    // The tray blocks its exit signals in every thread; the browser must
    // not inherit that.
    sigset_t exit_signals, previous;
    sigemptyset(&exit_signals);
    for (const int s : {SIGINT, SIGTERM, SIGQUIT})
        sigaddset(&exit_signals, s);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &exit_signals, &previous), 0);
    const std::string url = "https://www.korvane.example/a b?x=1;touch /tmp/pwned&y=$(id)";
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kv::ui::open_link(url.c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);   // the stand-in sleeps 2 s
    (void)kv::test::wait_until([] { return !read_text_file("/tmp/xdg-open.log").empty(); }, 2s);
    EXPECT_EQ(read_text_file("/tmp/xdg-open.log"), "1\n" + url + "\n");
    EXPECT_NE(access("/tmp/pwned", F_OK), 0);
    const unsigned long blocked = std::stoul("0" + read_text_file("/tmp/xdg-open.sigblk"), nullptr, 16);
    EXPECT_EQ(blocked & ((1UL << (SIGINT - 1)) | (1UL << (SIGTERM - 1)) | (1UL << (SIGQUIT - 1))), 0UL) << blocked;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
    // A long address is passed whole, not cut.
    (void)std::remove("/tmp/xdg-open.log");
    const std::string long_url = "https://www.korvane.example/" + std::string(400, 'p');
    EXPECT_EQ(kv::ui::open_link(long_url.c_str()), 0);
    (void)kv::test::wait_until([] { return !read_text_file("/tmp/xdg-open.log").empty(); }, 2s);
    EXPECT_EQ(read_text_file("/tmp/xdg-open.log"), "1\n" + long_url + "\n");
}

TEST(OpenLinkTest, AStartFailurePrintsTheCommandLine) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    kv::test::TempDir dir;
    const std::string plain = dir.file("not-a-program");
    std::ofstream(plain) << "data\n";
    ASSERT_EQ(mount(plain.c_str(), kv::ui::kXdgOpen, nullptr, MS_BIND, nullptr), 0);
    kv::ui::set_verbose(true);
    testing::internal::CaptureStdout();
    const int r = kv::ui::open_link("https://support.korvane.example/endpoint/");
    const std::string out = testing::internal::GetCapturedStdout();
    kv::ui::set_verbose(false);
    EXPECT_EQ(umount(kv::ui::kXdgOpen), 0);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "error: /usr/bin/xdg-open https://support.korvane.example/endpoint/\n");
}

}  // namespace
