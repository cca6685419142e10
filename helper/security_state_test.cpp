// Firewall, SELinux and disk-encryption checks with stand-in sestatus and
// dmsetup scripts over their fixed paths, a crypttab bound over
// /etc/crypttab, and a /proc/modules of our own in a private mount child.
#include "security_state.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

class SecurityState : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kv::test::in_test_namespace()) << "run through tests/harness/nsrun.sh"; }
    // A shell script printing `output`, bound over `target`.
    std::unique_ptr<kv::test::BindMount> script(const std::string& target, const std::string& output) {
        const std::string file = dir_.file("script" + std::to_string(count_++));
        EXPECT_TRUE(kv::test::write_text_file(file, "#!/bin/sh\ncat <<'OUT'\n" + output + "OUT\n", 0755));
        auto bound = std::make_unique<kv::test::BindMount>(file, target);
        EXPECT_TRUE(bound->ok());
        return bound;
    }
    kv::test::TempDir dir_{"kvsec"};
    int count_ = 0;
};

// In a child with a private mount namespace: /proc replaced by a directory
// holding only `modules` (the kernel may have none), and /dev/mapper holding
// `mapping` when it is not empty. Returns `check()`'s result, or 100+ for a
// fixture failure.
int with_modules(const std::string& modules, const std::string& mapping, int (*check)()) {
    return kv::test::run_in_private_mounts([&]() -> int {
        if (mount("kv-proc", "/proc", "tmpfs", 0, nullptr) != 0)
            return 100;
        if (!kv::test::write_text_file("/proc/modules", modules))
            return 101;
        (void)mkdir("/dev/mapper", 0755);
        if (mount("kv-mapper", "/dev/mapper", "tmpfs", 0, nullptr) != 0)
            return 102;
        if (!mapping.empty() && !kv::test::write_text_file("/dev/mapper/" + mapping, ""))
            return 103;
        return check();
    });
}

TEST_F(SecurityState, FirewallIsTheIpTablesModule) {
    struct Case {
        const char* modules;
        int on;
    } cases[] = {
        {"nf_nat 49152 1 - Live 0x0\nip_tables 32768 0 - Live 0x0\n", 1},
        {"ip_tables 32768 0 - Live 0x0\n", 1},
        {"ip_tables_extra 4096 0 - Live 0x0\n", 0},
        {"x_tables 53248 1 ip_tables, Live 0x0\n", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modules);
        EXPECT_EQ(with_modules(c.modules, "", [] { return KvIsFireWallOn(); }), c.on);
    }
}

TEST_F(SecurityState, SelinuxMustBeEnabledAndEnforcing) {
    EXPECT_EQ(KvIsSELinuxEnabled(), 1);   // the default stand-in
    struct Case {
        const char* name;
        std::string output;
        int enabled;
    } cases[] = {
        {"permissive", "SELinux status:                 enabled\nCurrent mode:                   permissive\n", 0},
        {"disabled", "SELinux status:                 disabled\n", 0},
        {"mode without status", "Current mode:                   enforcing\n", 0},
        {"status and mode", "SELinux status: enabled\nPolicy MLS status: enabled\nCurrent mode: enforcing\n", 1},
        {"mode word elsewhere", "SELinux status: enabled\nMode from config file: enforcing\n", 0},
        {"nothing", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bound = script("/usr/sbin/sestatus", c.output);
        EXPECT_EQ(IsSELinuxEnabled(), c.enabled);
    }
}

TEST_F(SecurityState, DiskEncryptionFollowsTheLastCrypttabMapping) {
    const std::string crypt_module = "dm_crypt 65536 1 - Live 0x0\n";
    struct Case {
        const char* name;
        std::string crypttab;
        std::string modules;
        std::string mapping;          // created under /dev/mapper
        std::string dmsetup_output;   // empty: the default stand-in ("... crypt")
        int enabled;
    } cases[] = {
        {"active mapping", "cryptroot UUID=1 none luks\n", crypt_module, "cryptroot", "", 1},
        {"tabs and comments", "# swap\n\tcryptswap\t/dev/sda2\t/dev/urandom swap # trailing\n\n", crypt_module,
         "cryptswap", "", 1},
        {"the last line with a name", "first UUID=1 none\nsecond UUID=2 none\n   \n# done\n", crypt_module,
         "second", "", 1},
        {"only a comment", "# cryptroot UUID=1 none luks\n", crypt_module, "cryptroot", "", 0},
        {"no dm_crypt module", "cryptroot UUID=1 none luks\n", "dm_mod 184320 1 - Live 0x0\n", "cryptroot", "", 0},
        {"no mapper device", "cryptroot UUID=1 none luks\n", crypt_module, "", "", 0},
        {"not a crypt target", "cryptroot UUID=1 none luks\n", crypt_module, "cryptroot",
         "0 2048 linear 8:1 0\n", 0},
        // A name that would run a second command through the shell.
        {"shell in the name", "x;echo${IFS}crypt UUID=1 none\n", crypt_module, "x;echo${IFS}crypt",
         "0 2048 linear\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string crypttab = dir_.file("crypttab");
        ASSERT_TRUE(kv::test::write_text_file(crypttab, c.crypttab));
        kv::test::BindMount bound(crypttab, "/etc/crypttab");
        ASSERT_TRUE(bound.ok());
        std::unique_ptr<kv::test::BindMount> dmsetup;
        if (!c.dmsetup_output.empty())
            dmsetup = script("/sbin/dmsetup", c.dmsetup_output);
        EXPECT_EQ(with_modules(c.modules, c.mapping, [] { return KvIsFSEncryptionEnabled(); }), c.enabled);
    }
}

}  // namespace
