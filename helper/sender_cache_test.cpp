// The 16-entry authenticated-sender cache.
#include "sender_cache.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kv::helper {
namespace {

TEST(SenderCache, FillsAtSixteenAndFreesOnRemove) {
    SenderCache cache;
    EXPECT_EQ(cache.add_once(kBusDaemonName), 0);
    EXPECT_EQ(cache.add_once(kBusDaemonName), 0);   // no second entry for the bus daemon
    EXPECT_EQ(cache.used(), 1);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(cache.add((":1." + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(cache.used(), 16);
    EXPECT_EQ(cache.add(":1.99"), SenderCache::kCacheFull);
    EXPECT_FALSE(cache.contains(":1.99"));
    EXPECT_TRUE(cache.contains(":1.7"));
    EXPECT_FALSE(cache.contains(":1.70"));
    EXPECT_FALSE(cache.contains(":1."));

    cache.remove(":1.7");
    EXPECT_FALSE(cache.contains(":1.7"));
    EXPECT_EQ(cache.add(":1.99"), 0);
    EXPECT_TRUE(cache.contains(":1.99"));
    cache.remove(":1.unknown");   // harmless
    EXPECT_EQ(cache.used(), 16);

    cache.clear_except(kBusDaemonName);
    EXPECT_EQ(cache.used(), 1);
    EXPECT_TRUE(cache.contains(kBusDaemonName));
    EXPECT_EQ(cache.add(":1.5"), 0);
    EXPECT_TRUE(cache.contains(":1.5"));
}

TEST(SenderCache, LongNamesAreCutAndNeverMatchByPrefix) {
    SenderCache cache;
    const std::string long_name(80, 'n');
    EXPECT_EQ(cache.add(long_name.c_str()), 0);
    EXPECT_FALSE(cache.contains(long_name.c_str()));   // stored cut to 63: re-verified
    EXPECT_TRUE(cache.contains(long_name.substr(0, 63).c_str()));
    EXPECT_FALSE(cache.contains(""));
    EXPECT_FALSE(cache.contains(nullptr));
}

}  // namespace
}  // namespace kv::helper
