// Extraction with the real tar over archives the tests build byte by byte
// (ustar headers), compressed with the real gzip and bzip2: names with
// blanks and quotes, and a hostile archive that tries to write outside.
#include "archive_extract.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <string>
#include <vector>

#include "kvhelper.h"
#include "log.hpp"
#include "mount_fixture.hpp"
#include "namespace_test.hpp"
#include "process.hpp"

namespace {

namespace fs = std::filesystem;

// One archive member: a file (with data), a directory or a symbolic link.
struct Member {
    std::string name;
    std::string data;
    char type = '0';          // '0' file, '5' directory, '2' symbolic link
    std::string link;
};

// An uncompressed ustar archive of `members`, names taken as given.
std::string ustar(const std::vector<Member>& members) {
    std::string out;
    for (const Member& m : members) {
        char h[512] = {};
        std::snprintf(h, 100, "%s", m.name.c_str());
        std::snprintf(h + 100, 8, "%07o", m.type == '5' ? 0755u : 0644u);
        std::snprintf(h + 108, 8, "%07o", 0u);
        std::snprintf(h + 116, 8, "%07o", 0u);
        std::snprintf(h + 124, 12, "%011zo", m.type == '0' ? m.data.size() : std::size_t{0});
        std::snprintf(h + 136, 12, "%011o", 0u);
        h[156] = m.type;
        std::snprintf(h + 157, 100, "%s", m.link.c_str());
        std::memcpy(h + 257, "ustar", 6);
        std::memcpy(h + 263, "00", 2);
        std::memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : h)
            sum += c;
        std::snprintf(h + 148, 8, "%06o", sum);
        out.append(h, sizeof h);
        if (m.type == '0') {
            out += m.data;
            out.append((512 - m.data.size() % 512) % 512, '\0');
        }
    }
    out.append(1024, '\0');
    return out;
}

// Writes `members` as an archive at `path`, compressed with `compressor`
// ("gzip", "bzip2" or "" for none).
bool write_archive(const std::string& path, const std::vector<Member>& members, const std::string& compressor) {
    const std::string plain = path + ".plain";
    if (!kv::test::write_text_file(plain, ustar(members)))
        return false;
    if (compressor.empty())
        return ::rename(plain.c_str(), path.c_str()) == 0;
    kv::test::RunOptions options;
    options.stdin_text = kv::test::read_text_file(plain);
    const auto r = kv::test::run_program({"/bin/" + compressor, "-c"}, options);
    ::unlink(plain.c_str());
    return r.exit_code == 0 && kv::test::write_text_file(path, r.out);
}

const std::vector<Member> kOddNames = {
    {"dir with blank/", "", '5', ""},
    {"dir with blank/it's \"quoted\" $(x).txt", "quoted contents\n", '0', ""},
    {"plain.txt", "plain\n", '0', ""},
};

void expect_odd_names_in(const std::string& dir) {
    EXPECT_EQ(kv::test::read_text_file(dir + "/dir with blank/it's \"quoted\" $(x).txt"), "quoted contents\n");
    EXPECT_EQ(kv::test::read_text_file(dir + "/plain.txt"), "plain\n");
}

// Every path below `root`.
std::vector<std::string> tree(const std::string& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(e.path().lexically_relative(root).string());
    std::sort(out.begin(), out.end());
    return out;
}

class ArchiveExtract : public kv::test::NamespaceLogTest {
protected:
    // The commands the runner logged, once everything logged so far is in.
    int commands_run() const {
        static int marks = 0;
        const std::string mark = "kvtest mark " + std::to_string(++marks);
        kv::log_at(LOG_ERR, "%s", mark.c_str());
        EXPECT_TRUE(log_->wait_for(mark, std::chrono::seconds(5)));
        int n = 0;
        for (const auto& line : log_->lines())
            n += line.message.rfind("execute_cmd 163: ", 0) == 0 ? 1 : 0;
        return n;
    }
    kv::test::TempDir dir_{"kvextract"};
};

TEST_F(ArchiveExtract, DecompressGzipAndBzip2BesideTheArchiveWithOddNames) {
    const std::string where = dir_.file("it's a dir");
    ASSERT_TRUE(fs::create_directory(where));
    ASSERT_TRUE(write_archive(where + "/pkg 1.tgz", kOddNames, "gzip"));
    EXPECT_EQ(KvDecompress((where + "/pkg 1.tgz").c_str()), 1);
    expect_odd_names_in(where);

    const std::string other = dir_.file("bz");
    ASSERT_TRUE(fs::create_directory(other));
    ASSERT_TRUE(write_archive(other + "/pkg.tbz2", kOddNames, "bzip2"));
    EXPECT_EQ(KvDecompress((other + "/pkg.tbz2").c_str()), 1);
    expect_odd_names_in(other);
}

TEST_F(ArchiveExtract, DecompressFailuresAndTheBareName) {
    // Only "tgz" selects gzip: a gzip archive under another name fails.
    ASSERT_TRUE(write_archive(dir_.file("pkg.tar.bz2"), kOddNames, "gzip"));
    EXPECT_EQ(KvDecompress(dir_.file("pkg.tar.bz2").c_str()), 0);
    EXPECT_EQ(KvDecompress(dir_.file("missing.tgz").c_str()), 0);
    log_->clear();
    EXPECT_EQ(KvDecompress("pkg.tgz"), 0);
    EXPECT_EQ(KvDecompress(nullptr), 0);
    EXPECT_EQ(commands_run(), 0);
}

TEST_F(ArchiveExtract, ColonInTheNameIsALocalFile) {
    // Without --force-local tar would take "host:path" for a remote archive.
    const std::string where = dir_.file("a:b");
    ASSERT_TRUE(fs::create_directory(where));
    ASSERT_TRUE(write_archive(where + "/x:y.tgz", kOddNames, "gzip"));
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(KvDecompress("a:b/x:y.tgz"), 1);
    expect_odd_names_in(where);
}

// "../", absolute names, and a link pointing out followed by a member
// through it: nothing lands outside the destination, and the run fails.
TEST_F(ArchiveExtract, HostileArchiveWritesNothingOutside) {
    const std::string outside = dir_.file("outside");
    const std::string dest = dir_.file("dest");
    ASSERT_TRUE(fs::create_directory(outside));
    ASSERT_TRUE(fs::create_directory(dest));
    const std::vector<Member> hostile = {
        {"ok.txt", "ok\n", '0', ""},
        {"../up.txt", "x", '0', ""},
        {"sub/../../up2.txt", "x", '0', ""},
        {outside + "/abs.txt", "x", '0', ""},
        {"out", "", '2', outside},
        {"out/through.txt", "x", '0', ""},
        {"rel", "", '2', "../outside"},
        {"rel/through2.txt", "x", '0', ""},
    };
    ASSERT_TRUE(write_archive(dir_.file("evil.tbz2"), hostile, "bzip2"));
    ASSERT_TRUE(fs::copy_file(dir_.file("evil.tbz2"), dest + "/evil.tbz2"));
    EXPECT_EQ(KvDecompress((dest + "/evil.tbz2").c_str()), 0);
    EXPECT_EQ(KvSelfExtractor("true", dir_.file("evil.tbz2").c_str(), dest.c_str()), -1);
    EXPECT_TRUE(tree(outside).empty());
    EXPECT_EQ(tree(dir_.path()), (std::vector<std::string>{"dest", "dest/evil.tbz2", "dest/ok.txt", "dest/out",
                                                            "dest/rel", "dest/tmp", "dest/tmp/" + fs::path(dir_.path()).filename().string(),
                                                            "dest/tmp/" + fs::path(dir_.path()).filename().string() + "/outside",
                                                            "dest/tmp/" + fs::path(dir_.path()).filename().string() + "/outside/abs.txt",
                                                            "evil.tbz2", "outside"}));
    EXPECT_EQ(kv::test::read_text_file(dest + "/ok.txt"), "ok\n");
}

TEST_F(ArchiveExtract, SelfExtractorSteps) {
    const std::string dest = dir_.file("dest 'q'");
    ASSERT_TRUE(fs::create_directory(dest));
    const std::string archive = dir_.file("self \"x\".tar");
    ASSERT_TRUE(write_archive(archive, kOddNames, ""));

    EXPECT_EQ(KvSelfExtractor(nullptr, nullptr, nullptr), -1);
    EXPECT_TRUE(log_->wait_for("invalid extractor parameter", std::chrono::seconds(5), 1));

    // A command that succeeds and no archive: no tar.
    log_->clear();
    EXPECT_EQ(KvSelfExtractor("true", nullptr, dest.c_str()), 0);
    EXPECT_EQ(commands_run(), 1);

    EXPECT_EQ(KvSelfExtractor("echo broken; exit 3", archive.c_str(), dest.c_str()), -1);
    EXPECT_TRUE(log_->wait_for("echo broken; exit 3 failed:broken", std::chrono::seconds(5), 1));

    EXPECT_EQ(KvSelfExtractor("true", dir_.file("none.tar").c_str(), dest.c_str()), -1);
    EXPECT_TRUE(log_->wait_for(dir_.file("none.tar") + " not found", std::chrono::seconds(5), 1));

    // An archive and no destination: checked, not unpacked.
    EXPECT_EQ(KvSelfExtractor("true", archive.c_str(), nullptr), 0);
    EXPECT_TRUE(tree(dest).empty());

    // A command that prints but succeeds counts as success here.
    EXPECT_EQ(KvSelfExtractor("echo a warning", archive.c_str(), dest.c_str()), 0);
    expect_odd_names_in(dest);

    EXPECT_EQ(KvSelfExtractor("true", archive.c_str(), dir_.file("no such dir").c_str()), -1);
    (void)commands_run();
    bool tar_failed = false;
    for (const auto& line : log_->lines())
        tar_failed |= line.message.rfind("tar command (/bin/tar -xf ", 0) == 0;
    EXPECT_TRUE(tar_failed);
}

// The updater's rule through the same code: output or a non-zero status
// is a failure, a silent failure included.
TEST_F(ArchiveExtract, SilentRuleCountsOutputAndStatus) {
    const kv::helper::ExtractPolicy silent{"KvCEFHelper", &kv::helper::run_through_execute_command,
                                           kv::helper::SuccessRule::status_zero_and_silent, false};
    EXPECT_EQ(kv::helper::self_extract(silent, "true", nullptr, nullptr), 0);
    EXPECT_NE(kv::helper::self_extract(silent, "exit 3", nullptr, nullptr), 0);
    EXPECT_NE(kv::helper::self_extract(silent, "echo warning", nullptr, nullptr), 0);
    EXPECT_TRUE(log_->wait_for("exit 3 failed:", std::chrono::seconds(5)));
    bool logged = false;
    for (const auto& line : log_->lines())
        logged |= line.ident.rfind("KvCEFHelper[", 0) == 0 && line.message == "exit 3 failed:";
    EXPECT_TRUE(logged);
    // No gzip case: a .tgz is read as bzip2 and fails.
    ASSERT_TRUE(write_archive(dir_.file("pkg.tgz"), kOddNames, "gzip"));
    EXPECT_NE(kv::helper::decompress_beside(silent, dir_.file("pkg.tgz").c_str()), 0);
    ASSERT_TRUE(write_archive(dir_.file("pkg.tbz"), kOddNames, "bzip2"));
    EXPECT_EQ(kv::helper::decompress_beside(silent, dir_.file("pkg.tbz").c_str()), 0);
    expect_odd_names_in(dir_.path());
}

TEST_F(ArchiveExtract, OverlongCommandIsRefusedNotCut) {
    ASSERT_TRUE(write_archive(dir_.file("a.tar"), kOddNames, ""));
    const std::string dest = "/" + std::string(4100, 'd');
    EXPECT_EQ(KvSelfExtractor("true", dir_.file("a.tar").c_str(), dest.c_str()), -1);
    EXPECT_EQ(commands_run(), 1);   // the first command only
}

}  // namespace
