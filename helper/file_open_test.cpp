// kv_fopen's retries: opening a FIFO blocks until a writer comes, and
// signals without SA_RESTART interrupt it with EINTR meanwhile.
#include "file_open.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "kvhelper.h"
#include "process.hpp"

namespace {

using namespace std::chrono_literals;

std::atomic<int> g_interrupts{0};
void count_interrupt(int) { ++g_interrupts; }

class FileOpen : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kv::test::emulator_prefix().empty())
            GTEST_SKIP() << "the user-mode emulator does not interrupt another thread's blocking open() faithfully";
        fifo_ = dir_.file("fifo");
        ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
        struct sigaction sa {};
        sa.sa_handler = count_interrupt;   // no SA_RESTART: open() fails with EINTR
        ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_), 0);
        g_interrupts = 0;
    }
    void TearDown() override {
        if (!fifo_.empty())
            (void)sigaction(SIGUSR1, &old_, nullptr);
    }

    // Interrupts the calling thread `signals` times, 20 ms apart, or until
    // `done`; then, with `open_writer`, opens the FIFO's other end.
    std::thread interrupter(int signals, bool open_writer) {
        const pthread_t target = pthread_self();
        return std::thread([this, target, signals, open_writer] {
            for (int i = 0; i < signals && !done_; ++i) {
                std::this_thread::sleep_for(20ms);
                (void)pthread_kill(target, SIGUSR1);
            }
            if (open_writer) {
                std::FILE* w = std::fopen(fifo_.c_str(), "w");
                while (!done_)
                    std::this_thread::sleep_for(5ms);
                if (w != nullptr)
                    std::fclose(w);
            }
        });
    }

    kv::test::TempDir dir_{"kvfopen"};
    std::string fifo_;
    struct sigaction old_ {};
    std::atomic<bool> done_{false};
};

TEST_F(FileOpen, AFewInterruptionsAreRetried) {
    std::thread t = interrupter(4, true);
    FILE* f = kv_fopen(fifo_.c_str(), "r");
    done_ = true;
    t.join();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(g_interrupts, 4);
    std::fclose(f);
}

TEST_F(FileOpen, TheEleventhInterruptionGivesUp) {
    std::thread t = interrupter(40, false);
    errno = 0;
    FILE* f = kv_elf_fopen(fifo_.c_str(), "r");
    const int error = errno;
    const int seen = g_interrupts;
    done_ = true;
    t.join();
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(error, EINTR);
    EXPECT_EQ(seen, 11);   // the first try and ten more
}

TEST(FileOpenErrors, OtherFailuresAreNotRetried) {
    kv::test::TempDir dir("kvfopen");
    errno = 0;
    EXPECT_EQ(kv_fopen(dir.file("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kv_fopen(nullptr, "r"), nullptr);
    EXPECT_EQ(kv_elf_fopen(dir.path().c_str(), nullptr), nullptr);
    FILE* f = kv_elf_fopen(dir.path().c_str(), "r");   // a directory opens for reading
    ASSERT_NE(f, nullptr);
    std::fclose(f);
}

}  // namespace
