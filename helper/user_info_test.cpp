// Logged-in users from a login-record file bound over the system's, account
// and group lookups, group lists, and the reentrant account holder.
#include "user_info.hpp"

#include <gtest/gtest.h>
#include <utmpx.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

utmpx record(short type, const std::string& user, const std::string& line) {
    utmpx r{};
    r.ut_type = type;
    std::memcpy(r.ut_user, user.data(), std::min(user.size(), sizeof r.ut_user));
    std::memcpy(r.ut_line, line.data(), std::min(line.size(), sizeof r.ut_line));
    return r;
}

TEST(UserInfo, ActiveUsersAreEachNamedOnce) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    const std::string full(sizeof(utmpx{}.ut_user), 'L');   // fills the field: no terminator
    const std::vector<utmpx> records = {
        record(BOOT_TIME, "", "~"),
        record(USER_PROCESS, "alice", "tty1"),
        record(LOGIN_PROCESS, "LOGIN", "tty5"),
        record(USER_PROCESS, "bob", "pts/0"),
        record(USER_PROCESS, "alice", "pts/1"),
        record(DEAD_PROCESS, "carol", "pts/2"),
        record(USER_PROCESS, "", "pts/3"),
        record(USER_PROCESS, full, "pts/4"),
        record(USER_PROCESS, "alice", "pts/5"),
        record(USER_PROCESS, "dave", "pts/6"),
    };
    kv::test::TempDir dir("kvutmp");
    const std::string file = dir.file("utmp");
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(records.data()),
                  static_cast<std::streamsize>(records.size() * sizeof(utmpx)));
    }
    kv::test::BindMount bound(file, "/var/run/utmp");
    ASSERT_TRUE(bound.ok());

    const std::string all = "alice" + std::string(1, '\0') + "bob" + std::string(1, '\0') + full +
                            std::string(1, '\0') + "dave" + std::string(1, '\0');
    struct Case {
        std::size_t capacity;
        std::size_t size;          // the size reported
        std::string stored;        // what the buffer holds before its zero bytes
    } cases[] = {
        {128, all.size(), all},
        {all.size(), all.size(), all},
        // "alice" and "bob" fit, the long name does not: from there on every
        // record counts, the repeated "alice" too.
        {12, 6 + 4 + full.size() + 1 + 6 + 5, "alice" + std::string(1, '\0') + "bob" + std::string(1, '\0')},
        // Nothing fits: every later record counts, repeats included.
        {5, 6 + 4 + 6 + full.size() + 1 + 6 + 5, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<char> buffer(c.capacity, '#');
        std::size_t size = c.capacity;
        EXPECT_EQ(GetActiveUsers(buffer.data(), &size), 0);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(std::string(buffer.data(), c.stored.size()), c.stored);
        EXPECT_EQ(std::string(buffer.data() + c.stored.size(), c.capacity - c.stored.size()),
                  std::string(c.capacity - c.stored.size(), '\0'));
    }
    std::size_t size = 0;
    EXPECT_EQ(GetActiveUsers(nullptr, &size), 0);
    EXPECT_EQ(size, 6 + 4 + 6 + full.size() + 1 + 6 + 5);
}

TEST(UserInfo, NamesToIds) {
    EXPECT_EQ(KvGetUserUid("nobody"), 65534u);
    EXPECT_EQ(GetUserUid("daemon"), 1u);
    EXPECT_EQ(GetUserUid("no-such-user-kv"), 0u);
    EXPECT_EQ(GetUserUid(""), 0u);
    EXPECT_EQ(GetUserUid(nullptr), 0u);
    EXPECT_EQ(KvGetGroupGid("nogroup"), 65534u);
    EXPECT_EQ(GetGroupGid("daemon"), 1u);
    EXPECT_EQ(GetGroupGid("no-such-group-kv"), 0u);
    EXPECT_EQ(GetGroupGid(""), 0u);
}

TEST(UserInfo, GroupListsReportTheirSize) {
    gid_t groups[64];
    int count = 64;
    const int n = KvGetGroupsForUser(1, groups, &count);   // daemon
    ASSERT_GE(n, 1);
    EXPECT_EQ(n, count);
    EXPECT_EQ(groups[0], 1u);
    int none = 0;
    EXPECT_EQ(KvGetGroupsForUser(1, groups, &none), -1);
    EXPECT_EQ(none, count);
    int unknown = 64;
    EXPECT_EQ(KvGetGroupsForUser(4242424u, groups, &unknown), 0);
    EXPECT_EQ(unknown, 0);
    EXPECT_EQ(KvGetGroupsForUser(1, groups, nullptr), -1);
}

TEST(UserInfo, PasswdHolderKeepsItsBufferBetweenLookups) {
    PasswdHolder holder;
    std::memset(&holder, 0x5a, sizeof holder);
    kv_passwd_init(&holder);
    EXPECT_EQ(holder.buffer, nullptr);
    EXPECT_EQ(holder.size, 0);
    ASSERT_EQ(kv_getpwuid(65534, &holder), 0);
    EXPECT_STREQ(holder.pwd.pw_name, "nobody");
    ASSERT_NE(holder.buffer, nullptr);
    EXPECT_GT(holder.size, 0);
    char* const first = holder.buffer;
    ASSERT_EQ(kv_getpwuid(1, &holder), 0);
    EXPECT_STREQ(holder.pwd.pw_name, "daemon");
    EXPECT_EQ(holder.buffer, first);
    EXPECT_EQ(kv_getpwuid(4242424u, &holder), -1);   // destroyed
    EXPECT_EQ(holder.buffer, nullptr);
    EXPECT_EQ(holder.pwd.pw_name, nullptr);
    ASSERT_EQ(kv_getpwuid(0, &holder), 0);
    EXPECT_STREQ(holder.pwd.pw_name, "root");
    kv_passwd_destroy(&holder);
    EXPECT_EQ(holder.buffer, nullptr);
    kv_passwd_destroy(&holder);
    kv_passwd_destroy(nullptr);
    EXPECT_EQ(kv_getpwuid(0, nullptr), -1);
}

}  // namespace
