// The main loop's task queue: order, cancellation and close, with real
// posting threads and a real GLib main loop.
#include "main_loop_queue.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kv::ui {
namespace {

struct Record {
    std::vector<int> ran;        // main thread only
    std::atomic<int> discarded{0};
    GMainLoop* loop = nullptr;
    int quit_after = 0;
};

struct Item {
    Record* record;
    int value;
};

void run_item(void* data) {
    auto* item = static_cast<Item*>(data);
    item->record->ran.push_back(item->value);
    if (static_cast<int>(item->record->ran.size()) == item->record->quit_after)
        g_main_loop_quit(item->record->loop);
}

void discard_item(void* data) { static_cast<Item*>(data)->record->discarded.fetch_add(1); }

class MainLoopQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(main_loop_queue_open(), 0);
        record_.loop = g_main_loop_new(nullptr, FALSE);
    }
    void TearDown() override {
        main_loop_queue_close();
        g_main_loop_unref(record_.loop);
    }
    // Runs the loop until `count` tasks ran, or 10 s passed.
    void run_until(int count) {
        record_.quit_after = count;
        const guint guard = g_timeout_add_seconds(10, [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        }, record_.loop);
        g_main_loop_run(record_.loop);
        (void)g_source_remove(guard);
    }
    Record record_;
};

TEST_F(MainLoopQueueTest, TasksOfEachThreadRunOnTheMainLoopInPostingOrder) {
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<Item> items(kThreads * kPerThread);
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Item& item = items[t * kPerThread + i];
                item = Item{&record_, t * kPerThread + i};
                ASSERT_TRUE(main_loop_post(run_item, &item, discard_item));
            }
        });
    }
    for (std::thread& p : posters)
        p.join();
    run_until(kThreads * kPerThread);
    ASSERT_EQ(record_.ran.size(), items.size());
    std::vector<int> last(kThreads, -1);
    for (int value : record_.ran) {
        const int thread = value / kPerThread;
        EXPECT_GT(value, last[thread]) << "thread " << thread << " out of order";
        last[thread] = value;
    }
    EXPECT_EQ(record_.discarded.load(), 0);
}

TEST_F(MainLoopQueueTest, CancelledAndLeftOverTasksAreDiscardedNotRun) {
    Item keep{&record_, 1}, cancelled{&record_, 2}, left{&record_, 3};
    ASSERT_TRUE(main_loop_post(run_item, &cancelled, discard_item));
    ASSERT_TRUE(main_loop_post(run_item, &keep, discard_item));
    ASSERT_TRUE(main_loop_post(run_item, &cancelled, discard_item));
    main_loop_cancel(&cancelled);
    EXPECT_EQ(record_.discarded.load(), 2);
    run_until(1);
    EXPECT_EQ(record_.ran, std::vector<int>{1});

    ASSERT_TRUE(main_loop_post(run_item, &left, discard_item));
    main_loop_queue_close();
    EXPECT_EQ(record_.discarded.load(), 3);
    EXPECT_EQ(record_.ran, std::vector<int>{1});
    // Closed: the caller keeps its data.
    EXPECT_FALSE(main_loop_post(run_item, &left, discard_item));
    EXPECT_EQ(record_.discarded.load(), 3);
    ASSERT_EQ(main_loop_queue_open(), 0);
}

// A task that cancels another one already queued: the second never runs
// (its target may be gone).
TEST_F(MainLoopQueueTest, ATaskMayCancelTheTasksQueuedAfterIt) {
    struct Canceller {
        Record* record;
        Item* victim;
    };
    Item victim{&record_, 7}, last{&record_, 8};
    Canceller canceller{&record_, &victim};
    ASSERT_TRUE(main_loop_post(
        [](void* data) {
            auto* c = static_cast<Canceller*>(data);
            c->record->ran.push_back(0);
            main_loop_cancel(c->victim);
        },
        &canceller));
    ASSERT_TRUE(main_loop_post(run_item, &victim, discard_item));
    ASSERT_TRUE(main_loop_post(run_item, &last, discard_item));
    run_until(2);
    EXPECT_EQ(record_.ran, (std::vector<int>{0, 8}));
    EXPECT_EQ(record_.discarded.load(), 1);
}

}  // namespace
}  // namespace kv::ui
