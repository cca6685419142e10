// Policy through the library's exports, one forked child per case: the
// built-in table, the MEMDEF_POLICY syntax and its worked examples, caller
// tables, and reads across shutdown and a second start-up.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <vector>

#include "memdef.h"
#include "testing/test_child.hpp"

namespace {

using kv::md::test::in_child;

std::string actions_of(int first, int last) {
    std::string s;
    for (int t = first; t <= last; ++t)
        s += static_cast<char>('0' + MemDefPolicy_GetForType(t));
    return s;
}

TEST(Policy, BuiltInTable) {
    EXPECT_EQ(in_child([] {
        (void)unsetenv("MEMDEF_POLICY");
        if (MemDefPolicy_GetForType(1) != 1)
            return std::string("before start-up the answer must be 1");
        if (MemDefPolicy_SetPolicy(nullptr, 0) != 0)
            return std::string("SetPolicy before start-up must apply nothing");
        memdeflinux_initialize();
        const std::string got = actions_of(-5, 24);
        // -5..0 -> 1, 1..22 -> 0, 23 (DYLDInject) and beyond -> 1
        const std::string want = std::string(6, '1') + std::string(22, '0') + "11";
        if (got != want)
            return "actions " + got + " want " + want;
        if (log_getlevel() != 2)
            return std::string("log level at load must be 2");
        return std::string();
    }), "");
}

struct TextCase {
    const char* name;
    std::string text;
    std::size_t length;          // passed length (may be shorter than text)
    std::string before;          // actions of types 1..23 set first (letters A-D)
    uint32_t result;
    std::string after;           // actions of types 1..22 afterwards, as digits
    int32_t level;               // log level afterwards (starts at 1)
};

TEST(Policy, SetFromStringSyntax) {
    const std::string all0(22, '0');
    const std::vector<TextCase> cases = {
        {"worked example AACB:D", "AACB:D", 6, "", 4, "0021" + all0.substr(4), 3},
        {"worked example xxA rejected", "xxA", 3, "DDDD", 0, "3333" + all0.substr(4), 1},
        {"worked example AxC keeps type 3", "AxC", 3, "DDDD", 2, "0133" + all0.substr(4), 1},
        {"25 letters D: 23 positions", std::string(25, 'D'), 25, "", 23, std::string(22, '3'), 1},
        {":C sets only the level", ":C", 2, "", 0, all0, 2},
        {"empty text", "", 0, "DD", 0, "33" + all0.substr(2), 1},
        {"level letter beyond length is not read", "AB:D", 3, "", 2, "01" + all0.substr(2), 1},
        {"rejected text still sets the level", "xxxxx:A", 7, "", 0, all0, 0},
        {"the whole length counts for the half rule", "BB:Bxxxx", 8, "", 0, all0, 1},
        {"invalid letters inside an accepted text", "ABzD", 4, "CCCC", 3, "0112" + all0.substr(4), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(in_child([&c] {
            (void)unsetenv("MEMDEF_POLICY");
            memdeflinux_initialize();
            log_setlevel(1);
            if (!c.before.empty() && MemDefPolicy_SetFromString(c.before.data(), c.before.size()) == 0)
                return std::string("setup text rejected");
            const uint32_t r = MemDefPolicy_SetFromString(c.text.data(), c.length);
            std::string err;
            if (r != c.result)
                err += " result " + std::to_string(r);
            if (actions_of(1, 22) != c.after)
                err += " actions " + actions_of(1, 22);
            if (log_getlevel() != c.level)
                err += " level " + std::to_string(log_getlevel());
            if (MemDefPolicy_GetForType(23) != 1)
                err += " type 23 must stay 1";
            return err;
        }), "") << c.name;
    }
}

TEST(Policy, EnvironmentOnlyWithoutCallerTable) {
    // memdeflinux_initialize alone: the environment applies.
    EXPECT_EQ(in_child([] {
        setenv("MEMDEF_POLICY", "CD:A", 1);
        memdeflinux_initialize();
        return actions_of(1, 3) == "230" && log_getlevel() == 0 ? std::string() : "got " + actions_of(1, 3);
    }), "");
    // memdef_initialize, even with a null table: the environment is ignored.
    EXPECT_EQ(in_child([] {
        setenv("MEMDEF_POLICY", "CD:A", 1);
        memdef_initialize(nullptr, 0);
        return actions_of(1, 3) == "000" && log_getlevel() == 2 ? std::string() : "got " + actions_of(1, 3);
    }), "");
}

TEST(Policy, CallerTableIsReadInPlace) {
    EXPECT_EQ(in_child([] {
        setenv("MEMDEF_POLICY", "AAAAA", 1);
        static struct {
            uint32_t count;
            uint8_t actions[8];
        } table = {5, {2, 3, 9, 1, 0, 7, 7, 7}};
        memdef_initialize(reinterpret_cast<MemDefPolicyTable*>(&table), 0);
        // Types 1..4 read slots 0..3 as stored; type 5 is outside N - 1.
        std::string got;
        for (int t = 1; t <= 5; ++t)
            got += std::to_string(MemDefPolicy_GetForType(t)) + ",";
        if (got != "2,3,9,1,1,")
            return "got " + got;
        const int32_t codes[] = {7, 0, 3, 1, 2, 2};
        if (MemDefPolicy_SetPolicy(codes, 6) != 4)   // 7 is stored as 1, only 5 slots exist
            return std::string("SetPolicy count");
        if (table.actions[0] != 1 || table.actions[4] != 2 || table.actions[5] != 7)
            return std::string("table bytes not written in place");
        return std::string();
    }), "");
}

TEST(Policy, ReadsSurviveShutdownAndRestart) {
    EXPECT_EQ(in_child([] {
        (void)unsetenv("MEMDEF_POLICY");
        memdeflinux_initialize();
        const char text[] = "CCC";
        MemDefPolicy_SetFromString(text, 3);
        std::atomic<bool> stop{false};
        std::atomic<int> wrong{0};
        auto reader = [](void* arg) -> void* {
            auto* s = static_cast<std::pair<std::atomic<bool>*, std::atomic<int>*>*>(arg);
            while (!s->first->load())
                if (MemDefPolicy_GetForType(2) != 2)
                    s->second->fetch_add(1);
            return nullptr;
        };
        std::pair<std::atomic<bool>*, std::atomic<int>*> shared{&stop, &wrong};
        pthread_t threads[3];
        for (auto& t : threads)
            pthread_create(&t, nullptr, reader, &shared);
        // Shutdown and start-up on this thread while readers hold and take the lock.
        for (int i = 0; i < 300; ++i) {
            memdeflinux_shutdown();
            memdeflinux_initialize();
            memdeflinux_coma();
            MemDefPolicy_SetFromString(text, 3);
        }
        memdeflinux_shutdown();
        stop = true;
        for (auto& t : threads)
            pthread_join(t, nullptr);
        if (wrong.load() != 0)
            return "readers saw " + std::to_string(wrong.load()) + " wrong actions";
        return MemDefPolicy_GetForType(3) == 2 ? std::string() : std::string("lost after shutdown");
    }), "");
}

}  // namespace
