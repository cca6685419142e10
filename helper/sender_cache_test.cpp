// The 16-entry authenticated-sender cache.
#include "sender_cache.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

TEST(SenderCache, RemoveGoneAsksForEveryEntryButTheKeptOne) {
    SenderCache cache;
    ASSERT_EQ(cache.add_once(kBusDaemonName), 0);
    for (const char* name : {":1.1", ":1.2", ":1.3", ":1.4"})
        ASSERT_EQ(cache.add(name), 0);
    cache.remove(":1.3");
    std::vector<std::string> asked;
    cache.remove_gone(
        kBusDaemonName,
        [](const char* sender, void* context) {
            static_cast<std::vector<std::string>*>(context)->push_back(sender);
            return std::string(sender) != ":1.2";
        },
        &asked);
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{":1.1", ":1.2", ":1.4"}));
    EXPECT_EQ(cache.used(), 2);
    EXPECT_TRUE(cache.contains(kBusDaemonName));
    EXPECT_TRUE(cache.contains(":1.2"));
    EXPECT_FALSE(cache.contains(":1.1"));
    EXPECT_FALSE(cache.contains(":1.4"));
    for (int i = 0; i < 14; ++i)   // the freed entries are usable again: 16 in all
        EXPECT_EQ(cache.add((":2." + std::to_string(i)).c_str()), 0) << i;
    EXPECT_EQ(cache.add(":2.99"), SenderCache::kCacheFull);
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
