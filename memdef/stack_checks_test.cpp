// The stack tests of the checks and the stack lookup's window, on the
// calling thread's record.
#include <gtest/gtest.h>

#include <cstdint>

#include "replacements.hpp"
#include "stack_lookup.hpp"
#include "thread_stack.hpp"

namespace {

using kv::md::t_state;

struct RecordedStack {
    RecordedStack(std::uintptr_t low, std::size_t size) {
        saved_low = t_state.stack_low;
        saved_size = t_state.stack_size;
        t_state.stack_low = low;
        t_state.stack_size = size;
    }
    ~RecordedStack() {
        t_state.stack_low = saved_low;
        t_state.stack_size = saved_size;
    }
    std::uintptr_t saved_low;
    std::size_t saved_size;
};

constexpr std::uintptr_t kLow = 0x40000000;
constexpr std::size_t kSize = 0x100000;

TEST(StackChecks, PointInStackExcludesLowIncludesTop) {
    RecordedStack stack(kLow, kSize);
    EXPECT_FALSE(kv::md::is_stack_region(kLow));
    EXPECT_TRUE(kv::md::is_stack_region(kLow + 1));
    EXPECT_TRUE(kv::md::is_stack_region(kLow + kSize));
    EXPECT_FALSE(kv::md::is_stack_region(kLow + kSize + 1));
    EXPECT_FALSE(kv::md::is_local_stack_ptr(kLow));
    EXPECT_TRUE(kv::md::is_local_stack_ptr(kLow + kSize));
    EXPECT_FALSE(kv::md::is_local_stack_ptr(kLow - 0x1000));
}

TEST(StackChecks, NothingRecordedNothingChecked) {
    RecordedStack stack(0, 0);
    EXPECT_TRUE(kv::md::is_local_stack_ptr(0x1234));
    EXPECT_FALSE(kv::md::is_stack_region(0x1234));
    EXPECT_FALSE(kv::md::overlaps_stack(0x1000, ~std::size_t{0} - 0x1000));
}

TEST(StackChecks, RangeOverlap) {
    RecordedStack stack(kLow, kSize);
    struct Case {
        std::uintptr_t address;
        std::size_t length;
        bool overlaps;
    };
    const Case cases[] = {
        {kLow, kSize, true},                       // the whole stack from its low address
        {kLow - 0x1000, 0x2000, true},             // starts one page below
        {kLow - 0x1000, 0x1000, false},            // ends exactly at low
        {kLow - 0x1000, 0x1001, true},
        {kLow + kSize - 1, 1, true},
        {kLow + kSize, 0x1000, false},             // starts at the end
        {kLow + 0x1000, 0, false},                 // empty range
        {0x1000, ~std::uintptr_t{0} - 0x1000, true},   // would overflow as addr + len
        {kLow + kSize, ~std::uintptr_t{0} - kLow - kSize, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kv::md::overlaps_stack(c.address, c.length), c.overlaps) << std::hex << c.address << " " << c.length;
}

TEST(StackLookup, WindowAboveTheCheckedPosition) {
    const std::uintptr_t frame = 0x50000000;
    EXPECT_FALSE(kv::md::stacklookup_check(frame - 100));
    ASSERT_EQ(kv::md::stacklookup_add(frame), 0);
    ASSERT_EQ(kv::md::stacklookup_add(frame + 0x10000), 0);
    EXPECT_TRUE(kv::md::stacklookup_check(frame - 512));
    EXPECT_TRUE(kv::md::stacklookup_check(frame - 1));
    EXPECT_FALSE(kv::md::stacklookup_check(frame));         // the frame itself lies not above
    EXPECT_FALSE(kv::md::stacklookup_check(frame - 513));
    kv::md::stacklookup_remove(frame);
    EXPECT_FALSE(kv::md::stacklookup_check(frame - 1));
    EXPECT_TRUE(kv::md::stacklookup_check(frame + 0x10000 - 8));
    kv::md::stacklookup_remove(frame + 0x10000);
    EXPECT_FALSE(kv::md::stacklookup_check(frame + 0x10000 - 8));
    // A freed slot is taken again.
    ASSERT_EQ(kv::md::stacklookup_add(frame), 0);
    EXPECT_TRUE(kv::md::stacklookup_check(frame - 8));
    kv::md::stacklookup_remove(frame);
}

}  // namespace
