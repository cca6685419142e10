// KvCopyFile over real files: contents byte for byte, the same file under
// another name, a full file system, a destination that keeps its mode, and
// files whose size the kernel does not know.
#include "file_copy.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

namespace fs = std::filesystem;

std::string random_bytes(std::size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

class FileCopy : public ::testing::Test {
protected:
    kv::test::TempDir dir_{"kvcopy"};
};

TEST_F(FileCopy, CopiesEveryByteAndReplacesTheDestination) {
    const std::string data = random_bytes(3 * 1024 * 1024 + 17);   // NULs, no line structure, odd size
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("src"), data));
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("dst"), std::string(10 * 1024 * 1024, 'x'), 0600));
    EXPECT_EQ(KvCopyFile(dir_.file("src").c_str(), dir_.file("dst").c_str()), 0);
    EXPECT_EQ(kv::test::read_text_file(dir_.file("dst")), data);
    struct stat st {};
    ASSERT_EQ(::stat(dir_.file("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A new file and an empty source.
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("empty"), ""));
    EXPECT_EQ(KvCopyFile(dir_.file("empty").c_str(), dir_.file("new").c_str()), 0);
    EXPECT_TRUE(fs::exists(dir_.file("new")));
    EXPECT_EQ(fs::file_size(dir_.file("new")), 0u);
    // Nothing but the two files is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator{}), 4);
}

TEST_F(FileCopy, SameFileUnderAnyNameIsRefusedAndKept) {
    const std::string data = random_bytes(100000);
    const std::string src = dir_.file("src");
    ASSERT_TRUE(kv::test::write_text_file(src, data));
    ASSERT_EQ(::link(src.c_str(), dir_.file("hard").c_str()), 0);
    ASSERT_EQ(::symlink(src.c_str(), dir_.file("soft").c_str()), 0);
    for (const std::string& other : {src, dir_.file("hard"), dir_.file("soft"), dir_.path() + "/./src"}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(KvCopyFile(src.c_str(), other.c_str()), -1);
        EXPECT_EQ(KvCopyFile(other.c_str(), src.c_str()), -1);
        EXPECT_EQ(kv::test::read_text_file(src), data);
    }
}

TEST_F(FileCopy, MissingSourceOrDirectory) {
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("src"), "x"));
    EXPECT_EQ(KvCopyFile(dir_.file("none").c_str(), dir_.file("dst").c_str()), -1);
    EXPECT_FALSE(fs::exists(dir_.file("dst")));
    EXPECT_EQ(KvCopyFile(dir_.file("src").c_str(), dir_.file("no dir/dst").c_str()), -1);
    EXPECT_EQ(KvCopyFile(nullptr, dir_.file("dst").c_str()), -1);
    EXPECT_EQ(KvCopyFile(dir_.file("src").c_str(), nullptr), -1);
}

// A write that fails half-way (the file system fills up) is a failure and
// leaves the old destination whole, with no partial file beside it.
TEST_F(FileCopy, FullFileSystemFailsAndKeepsTheOldDestination) {
    ASSERT_EQ(::mkdir(dir_.file("small").c_str(), 0755), 0);
    const kv::test::TmpfsMount small(dir_.file("small"), "size=256k");
    ASSERT_TRUE(small.ok());
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("src"), random_bytes(1024 * 1024)));
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("small/dst"), "old contents\n"));
    EXPECT_EQ(KvCopyFile(dir_.file("src").c_str(), dir_.file("small/dst").c_str()), -1);
    EXPECT_EQ(kv::test::read_text_file(dir_.file("small/dst")), "old contents\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.file("small")), fs::directory_iterator{}), 1);
}

// /proc files report size 0; their contents are copied all the same.
TEST_F(FileCopy, FileOfUnknownSize) {
    EXPECT_EQ(KvCopyFile("/proc/version", dir_.file("version").c_str()), 0);
    const std::string copied = kv::test::read_text_file(dir_.file("version"));
    EXPECT_FALSE(copied.empty());
    EXPECT_EQ(copied, kv::test::read_text_file("/proc/version"));
}

// A destination that is a link to another file is written where it points.
TEST_F(FileCopy, DestinationLinkIsFollowed) {
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("src"), "new\n"));
    ASSERT_TRUE(kv::test::write_text_file(dir_.file("target"), "old\n"));
    ASSERT_EQ(::symlink("target", dir_.file("link").c_str()), 0);
    EXPECT_EQ(KvCopyFile(dir_.file("src").c_str(), dir_.file("link").c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(dir_.file("link")));
    EXPECT_EQ(kv::test::read_text_file(dir_.file("target")), "new\n");
}

}  // namespace
