// libkvcefhelper as the updater uses it: its export list in a process of its
// own (alone, and after libkvhelper was loaded with global visibility), its
// version, the firewall check against a stand-in iptables, the silent ELF
// reader, real archives through its runner, the updater directory, and the
// lock's name at unload.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "instance_lock.hpp"
#include "kvcefhelper.h"
#include "log.hpp"
#include "mount_fixture.hpp"
#include "namespace_test.hpp"
#include "process.hpp"
#include "tool_stubs.hpp"

namespace {

using namespace std::chrono_literals;

const std::string kCefLibrary = KV_TEST_KVCEFHELPER_LIBRARY;
const std::string kHelperLibrary = KV_TEST_KVHELPER_LIBRARY;
const std::string kProbe = KV_TEST_CEF_PROBE;

// Names of one a line ('#' comments), or the global names of a version script.
std::vector<std::string> names_in(const std::string& path, bool version_script) {
    std::vector<std::string> names;
    std::istringstream in(kv::test::read_text_file(path));
    std::string line;
    bool global = !version_script;
    while (std::getline(in, line)) {
        line = line.substr(0, std::min(line.find('#'), line.find("/*")));
        std::string word;
        std::istringstream words(line);
        while (words >> word) {
            if (word == "global:")
                global = true;
            else if (word == "local:")
                global = false;
            else if (global && word != "{" && word != "};") {
                if (!word.empty() && word.back() == ';')
                    word.pop_back();
                if (!word.empty())
                    names.push_back(word);
            }
        }
    }
    return names;
}

// The identity of a recorded line, without its "[pid]".
std::string ident_of(const kv::test::LogLine& line) { return line.ident.substr(0, line.ident.find('[')); }

// The probe with the library (after libkvhelper when `preload`).
kv::test::RunResult probe(bool preload, const std::vector<std::string>& action) {
    std::vector<std::string> argv = {kProbe};
    if (preload) {
        argv.push_back("--preload");
        argv.push_back(kHelperLibrary);
    }
    argv.push_back(kCefLibrary);
    argv.insert(argv.end(), action.begin(), action.end());
    kv::test::RunOptions options;
    options.built_program = true;
    options.timeout = 60s;
    return kv::test::run_program(argv, options);
}

class KvCefHelper : public kv::test::NamespaceLogTest {
protected:
    // Every line logged so far, after a line of our own has arrived (the
    // logger takes datagrams in order, so nothing sent earlier is missed).
    std::vector<kv::test::LogLine> settled_log() {
        const std::string mark = "kvcefhelper test mark " + std::to_string(marks_++);
        kv::log_as("KvTest", LOG_USER | LOG_ERR, "%s", mark.c_str());
        EXPECT_TRUE(log_->wait_for(mark, 5s));
        std::vector<kv::test::LogLine> lines;
        for (const kv::test::LogLine& l : log_->lines()) {
            if (ident_of(l) != "KvTest")
                lines.push_back(l);
        }
        return lines;
    }
    kv::test::ToolStubs stubs_;
    kv::test::TempDir dir_{"kvcef"};
    int marks_ = 0;
};

TEST_F(KvCefHelper, ExportsEveryListedNameAndNoneOfTheServiceOnlyOnesAloneAndBesideLibkvhelper) {
    std::vector<std::string> action = {"symbols"};
    const std::vector<std::string> required = names_in(KV_TEST_CEF_MAP, true);
    const std::vector<std::string> absent = names_in(KV_TEST_CEF_ABSENT, false);
    ASSERT_EQ(required.size(), 53u);
    ASSERT_GT(absent.size(), 50u);
    for (const std::string& name : required)
        action.push_back("+" + name);
    for (const std::string& name : absent)
        action.push_back("-" + name);
    for (const bool preload : {false, true}) {
        SCOPED_TRACE(preload ? "after libkvhelper" : "alone");
        const kv::test::RunResult r = probe(preload, action);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(KvCefHelper, CarriesItsOwnVersion) {
    for (const bool preload : {false, true}) {
        SCOPED_TRACE(preload ? "after libkvhelper" : "alone");
        const kv::test::RunResult r = probe(preload, {"version"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "1.5.0.3\n");
    }
    char version[16] = {};
    ASSERT_EQ(ELFGetVersionString(kCefLibrary.c_str(), version, sizeof version, 0), 0);
    EXPECT_STREQ(version, "1.5.0.3");
    EXPECT_STREQ(get_version(), "1.5.0.3");
}

// The listing "/sbin/iptables -L INPUT" prints.
const char kAcceptHeading[] =
    "Chain INPUT (policy ACCEPT)\n"
    "target     prot opt source               destination         \n";

TEST_F(KvCefHelper, FirewallFollowsTheInputChainListing) {
    // A rule line of 300 characters: its first 255 accept, and what the
    // read buffer leaves over begins with a word that is no target.
    std::string long_accept = "ACCEPT     all  --  anywhere             anywhere             /* ";
    long_accept += std::string(255 - long_accept.size(), 'c');
    long_accept += "REJECT the rest of the comment */\n";
    ASSERT_EQ(long_accept.find("REJECT"), 255u);
    // A line of exactly 255 characters: its line feed arrives on its own.
    const std::string exact_accept = "ACCEPT" + std::string(249, ' ') + "\n";
    struct Case {
        const char* name;
        std::string listing;
        int on;
    } cases[] = {
        {"policy DROP", "Chain INPUT (policy DROP)\ntarget     prot opt source               destination\n", 1},
        {"policy DROP with counters", "Chain INPUT (policy DROP 120 packets, 9600 bytes)\n", 1},
        {"accept, no rules", kAcceptHeading, 0},
        {"accept, one REJECT rule",
         std::string(kAcceptHeading) +
             "REJECT     tcp  --  anywhere             anywhere             tcp dpt:telnet reject-with icmp-port-unreachable\n",
         1},
        {"accept, rules that accept",
         std::string(kAcceptHeading) + "ACCEPT     all  --  anywhere             anywhere             state RELATED\n"
                                       "ACCEPT     tcp  --  anywhere             anywhere             tcp dpt:ssh\n",
         0},
        {"accept, a jump to a chain of its own",
         std::string(kAcceptHeading) + "f2b-sshd   tcp  --  anywhere             anywhere             multiport\n", 1},
        {"a warning before the heading",
         "# Warning: iptables-legacy tables present, use iptables-legacy to see them\n" + std::string(kAcceptHeading),
         0},
        {"a rule line longer than the buffer", std::string(kAcceptHeading) + long_accept, 0},
        {"a REJECT after a long line", std::string(kAcceptHeading) + long_accept + "REJECT     all  --  a  b\n", 1},
        {"a REJECT after a line of 255", std::string(kAcceptHeading) + exact_accept + "DROP       all  --  a  b\n",
         1},
        {"nothing", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stubs_.answer("iptables", c.listing);
        EXPECT_EQ(KvIsFireWallOn(), c.on);
        EXPECT_EQ(IsFireWallOn(), c.on);
    }
    const std::vector<kv::test::StubCall> calls = stubs_.calls("iptables");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().argv, (std::vector<std::string>{"/sbin/iptables", "-L", "INPUT"}));
    EXPECT_EQ(settled_log().size(), 0u) << "the firewall check logged";
}

TEST_F(KvCefHelper, FirewallIsOffWhenIptablesCannotRun) {
    const std::string not_a_program = dir_.file("iptables");
    ASSERT_TRUE(kv::test::write_text_file(not_a_program, "Chain INPUT (policy DROP)\n", 0644));
    kv::test::BindMount bound(not_a_program, "/sbin/iptables");
    ASSERT_TRUE(bound.ok());
    EXPECT_EQ(KvIsFireWallOn(), 0);
}

TEST_F(KvCefHelper, FirewallIsItsOwnBesideLibkvhelper) {
    // libkvhelper answers by the ip_tables module whatever iptables lists,
    // so one of the two listings tells whose function ran.
    for (const bool preload : {false, true}) {
        SCOPED_TRACE(preload ? "after libkvhelper" : "alone");
        stubs_.answer("iptables", "Chain INPUT (policy DROP)\n");
        EXPECT_EQ(probe(preload, {"firewall"}).out, "1\n");
        stubs_.answer("iptables", kAcceptHeading);
        EXPECT_EQ(probe(preload, {"firewall"}).out, "0\n");
    }
}

TEST_F(KvCefHelper, ElfReaderWritesNoMessages) {
    const std::string text = dir_.file("notes.txt");
    ASSERT_TRUE(kv::test::write_text_file(text, "not an ELF file at all, just text\n"));
    const std::string short_file = dir_.file("short");
    ASSERT_TRUE(kv::test::write_text_file(short_file, "\x7f" "ELF12345\n"));
    for (const std::string& path : {text, short_file, dir_.file("missing")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(kv_elf_open(path.c_str()), nullptr);
        char version[32];
        EXPECT_EQ(ELFGetVersionString(path.c_str(), version, sizeof version, 0), -1);
        EXPECT_EQ(GetProductVersion(path.c_str(), version, sizeof version), 0);
    }
    // A section that is not there, and one written to a path that cannot be made.
    ElfContext* self = kv_elf_open(kCefLibrary.c_str());
    ASSERT_NE(self, nullptr);
    char* data = nullptr;
    EXPECT_EQ(kv_elf_read_section(self, "__no_such_section", &data), -1);
    EXPECT_EQ(kv_elf_extract_section(self, "__version", dir_.file("no/such/dir").c_str()), -1);
    EXPECT_EQ(kv_elf_read_section(self, "__version", &data), 8);
    EXPECT_STREQ(data, "1.5.0.3");
    free(data);
    kv_elf_close(self);
    EXPECT_TRUE(settled_log().empty());
    // With libkvhelper's logging reader in the process as well.
    for (const bool preload : {false, true}) {
        SCOPED_TRACE(preload ? "after libkvhelper" : "alone");
        const kv::test::RunResult r = probe(preload, {"elf-open", text});
        EXPECT_EQ(r.out, "null\n") << r.err;
        EXPECT_TRUE(settled_log().empty());
    }
}

// Runs tar in `cwd`; true on status 0.
bool tar(const std::string& cwd, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/bin/tar"};
    argv.insert(argv.end(), args.begin(), args.end());
    kv::test::RunOptions options;
    options.cwd = cwd;
    const kv::test::RunResult r = kv::test::run_program(argv, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.exit_code == 0;
}

// A source directory holding members whose names have blanks and quotes.
const std::vector<std::string> kMembers = {"plain.txt", "with blank.txt", "it's \"quoted\" $(x).txt"};

std::string make_members(const kv::test::TempDir& dir) {
    const std::string src = dir.file("src");
    EXPECT_EQ(mkdir(src.c_str(), 0755), 0);
    for (const std::string& m : kMembers)
        EXPECT_TRUE(kv::test::write_text_file(src + "/" + m, "content of " + m + "\n"));
    return src;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST_F(KvCefHelper, DecompressUnpacksBzip2BesideTheArchive) {
    const std::string src = make_members(dir_);
    // The archive's own directory name needs quoting too.
    const std::string target = dir_.file("it's a \"dir\"");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    const std::string archive = target + "/pkg.tbz2";
    std::vector<std::string> args = {"-cjf", archive};
    args.insert(args.end(), kMembers.begin(), kMembers.end());
    ASSERT_TRUE(tar(src, args));
    EXPECT_EQ(Decompress(archive.c_str()), 1);
    for (const std::string& m : kMembers)
        EXPECT_EQ(kv::test::read_text_file(target + "/" + m), "content of " + m + "\n") << m;
    EXPECT_TRUE(settled_log().empty());
}

TEST_F(KvCefHelper, DecompressOfAGzipTgzFailsWithTheBzip2Form) {
    const std::string src = make_members(dir_);
    const std::string target = dir_.file("out");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    const std::string archive = target + "/pkg.tgz";
    ASSERT_TRUE(tar(src, {"-czf", archive, "plain.txt"}));
    EXPECT_EQ(Decompress(archive.c_str()), 0);
    EXPECT_FALSE(exists(target + "/plain.txt"));
    const std::vector<kv::test::LogLine> lines = settled_log();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(ident_of(lines[0]), "KvCEFHelper");
    // Without a directory nothing is run.
    EXPECT_EQ(Decompress("pkg.tbz2"), 0);
    EXPECT_EQ(Decompress(nullptr), 0);
}

TEST_F(KvCefHelper, DecompressWritesNothingOutsideTheArchivesDirectory) {
    const std::string inner = dir_.file("inner");
    const std::string work = dir_.file("work");
    ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("escaped.txt"), "outside\n"));
    // "../escaped.txt" kept as it is (-P) in the archive.
    ASSERT_TRUE(tar(work, {"-cjPf", inner + "/evil.tbz2", "../escaped.txt"}));
    ASSERT_EQ(unlink(dir_.file("escaped.txt").c_str()), 0);
    EXPECT_EQ(Decompress((inner + "/evil.tbz2").c_str()), 0);
    EXPECT_FALSE(exists(dir_.file("escaped.txt")));
}

TEST_F(KvCefHelper, SelfExtractorFailsOnAnyOutputAndOnAnyStatus) {
    EXPECT_EQ(SelfExtractor("echo 'warning: clock skew detected'", nullptr, nullptr), -1);
    EXPECT_EQ(SelfExtractor("exit 1", nullptr, nullptr), -1);
    EXPECT_EQ(SelfExtractor("true", nullptr, nullptr), 0);
    EXPECT_EQ(SelfExtractor(nullptr, nullptr, nullptr), -1);
    const std::vector<kv::test::LogLine> lines = settled_log();
    std::vector<std::string> texts;
    for (const kv::test::LogLine& l : lines) {
        EXPECT_EQ(ident_of(l), "KvCEFHelper") << l.message;
        texts.push_back(l.message);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"warning: clock skew detected",
                                               "echo 'warning: clock skew detected' failed:warning: clock skew detected",
                                               "exit 1 failed:", "invalid extractor parameter"}));
}

TEST_F(KvCefHelper, SelfExtractorUnpacksIntoTheDestination) {
    const std::string src = make_members(dir_);
    const std::string archive = dir_.file("payload with blank.tar");
    std::vector<std::string> args = {"-cf", archive};
    args.insert(args.end(), kMembers.begin(), kMembers.end());
    ASSERT_TRUE(tar(src, args));
    const std::string dest = dir_.file("dest 'd'");
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    EXPECT_EQ(SelfExtractor("true", archive.c_str(), dest.c_str()), 0);
    for (const std::string& m : kMembers)
        EXPECT_TRUE(exists(dest + "/" + m)) << m;
    EXPECT_EQ(SelfExtractor("true", dir_.file("missing.tar").c_str(), dest.c_str()), -1);
    EXPECT_TRUE(log_->wait_for(dir_.file("missing.tar") + " not found", 5s));
}

TEST_F(KvCefHelper, UpdaterDirectoryRemovalTakesItsThreeFiles) {
    const std::string updater_dir = "/opt/korvane/desktop/updater_tmp";
    const auto fill = [&](const std::vector<std::string>& files) {
        (void)mkdir("/opt/korvane/desktop", 0755);
        ASSERT_EQ(mkdir(updater_dir.c_str(), 0755), 0);
        for (const std::string& f : files)
            ASSERT_TRUE(kv::test::write_text_file(updater_dir + "/" + f, "x"));
    };
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), 0);   // absent
    fill({"kvupdatesvc", "libkvcefhelper.so", "libMonoPosixHelper.so"});
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), 0);
    EXPECT_FALSE(exists(updater_dir));
    // The service's updater files are not this library's to remove.
    fill({"kvupdatesvc", "libkvcefhelper.so", "libMonoPosixHelper.so", "kvupdate", "libkvhelper.so"});
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), -1);
    EXPECT_TRUE(exists(updater_dir + "/kvupdate"));
    EXPECT_TRUE(exists(updater_dir + "/libkvhelper.so"));
    EXPECT_FALSE(exists(updater_dir + "/kvupdatesvc"));
    EXPECT_FALSE(exists(updater_dir + "/libkvcefhelper.so"));
    EXPECT_FALSE(exists(updater_dir + "/libMonoPosixHelper.so"));
    for (const char* f : {"kvupdate", "libkvhelper.so"})
        (void)unlink((updater_dir + "/" + f).c_str());
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), 0);
}

// In a child with its own /dev/shm and /run: the probe's output, or "" when
// the fixture failed. With `existing`, another process holds the lock while
// the probe runs (as the running service does).
std::string lock_probe(const std::string& action, bool existing) {
    kv::test::TempDir out_dir("kvceflock");
    const std::string out = out_dir.file("out");
    const int rc = kv::test::run_in_private_mounts([&]() -> int {
        if (mount("kv-shm", "/dev/shm", "tmpfs", 0, "mode=1777") != 0 || mount("kv-run", "/run", "tmpfs", 0, nullptr) != 0)
            return 100;
        if (existing) {
            sem_t* sem = sem_open(kv::helper::kInstanceSemaphoreName, O_CREAT | O_EXCL, 0644, 1);
            if (sem == SEM_FAILED)
                return 101;
            (void)sem_close(sem);
            const int fd = open(kv::helper::kInstanceLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)
                return 104;
        }
        const kv::test::RunResult r = probe(false, {action});
        if (r.exit_code != 0)
            return 102;
        return kv::test::write_text_file(out, r.out) ? 0 : 103;
    });
    EXPECT_EQ(rc, 0);
    return kv::test::read_text_file(out);
}

TEST_F(KvCefHelper, UnloadRemovesTheLockOnlyInTheProcessThatCreatedIt) {
    EXPECT_EQ(lock_probe("lock-unload", false), "0\ngone\n");
    EXPECT_EQ(lock_probe("unload", true), "left\n");
    EXPECT_EQ(lock_probe("lock-unload", true), std::to_string(EEXIST) + "\nleft\n");
}

}  // namespace
