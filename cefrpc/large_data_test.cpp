// Large-data files through the exports: names, modes, the directory, size
// queries, consuming reads, refused links, and names across processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "cefrpc.h"
#include "large_data.hpp"
#include "testing/rpc_fixture.hpp"

namespace kv::rpc::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

using LargeData = RpcTest;

TEST_F(LargeData, SendWritesAPrivateFileUnderAFreshDirectory) {
    const std::string payload = pattern(10000);
    char path[256];
    ASSERT_EQ(SendLargeData(payload.data(), payload.size(), path, sizeof path), 0);
    EXPECT_TRUE(std::regex_match(path, std::regex("/opt/korvane/desktop/ld/[0-9]+_[0-9]+")))
        << path;
    EXPECT_EQ(read_file(path), payload);
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(kLargeDataDir, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(LargeData, SendReplacesAFileStandingWhereTheDirectoryBelongs) {
    write_file(kLargeDataDir, "in the way");
    char path[256];
    ASSERT_EQ(SendLargeData("abc", 3, path, sizeof path), 0);
    EXPECT_TRUE(fs::is_directory(kLargeDataDir));
    EXPECT_EQ(read_file(path), "abc");
}

TEST_F(LargeData, SendReportsAMissingParentDirectory) {
    fs::remove_all("/opt/korvane/desktop");
    char path[256] = "untouched";
    EXPECT_EQ(SendLargeData("abc", 3, path, sizeof path), ENOENT);
    EXPECT_STREQ(path, "untouched");
}

TEST_F(LargeData, SendRejectsBadInputWithEinval) {
    char path[256] = "untouched";
    EXPECT_EQ(SendLargeData(nullptr, 3, path, sizeof path), EINVAL);
    EXPECT_EQ(SendLargeData("abc", 0, path, sizeof path), EINVAL);
    EXPECT_EQ(SendLargeData("abc", 3, nullptr, sizeof path), EINVAL);
    EXPECT_EQ(SendLargeData("abc", 3, path, 255), EINVAL);
    EXPECT_STREQ(path, "untouched");
    EXPECT_TRUE(large_data_files().empty());
}

TEST_F(LargeData, NamesDoNotCollideWithinOneSecondOrAcrossProcesses) {
    char path[256];
    ASSERT_EQ(SendLargeData("x", 1, path, sizeof path), 0);   // parent's sequence in use before fork
    constexpr int kPerProcess = 40;
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char own[256];
            for (int i = 0; i < kPerProcess; ++i) {
                if (SendLargeData("y", 1, own, sizeof own) != 0)
                    _exit(1);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int i = 0; i < kPerProcess; ++i)
        ASSERT_EQ(SendLargeData("z", 1, path, sizeof path), 0);
    EXPECT_EQ(large_data_files().size(), 1u + 3 * kPerProcess);
}

TEST_F(LargeData, SizeQueryLeavesTheFileAndReadConsumesIt) {
    const std::string payload = pattern(5000, 3);
    char path[256];
    ASSERT_EQ(SendLargeData(payload.data(), payload.size(), path, sizeof path), 0);

    std::uint32_t size = 0;
    EXPECT_EQ(ReceiveLargeData(path, nullptr, &size), 0);
    EXPECT_EQ(size, 5000u);
    void* none = nullptr;
    size = 0;
    EXPECT_EQ(ReceiveLargeData(path, &none, &size), 0);
    EXPECT_EQ(size, 5000u);
    EXPECT_TRUE(fs::exists(path));

    std::string buffer(4999, '\0');
    void* data = buffer.data();
    size = 4999;
    EXPECT_EQ(ReceiveLargeData(path, &data, &size), -1);
    EXPECT_TRUE(fs::exists(path)) << "a too-small buffer leaves the file";

    buffer.assign(6000, '\0');
    data = buffer.data();
    size = 6000;
    ASSERT_EQ(ReceiveLargeData(path, &data, &size), 0);
    EXPECT_EQ(size, 5000u);
    EXPECT_EQ(buffer.substr(0, 5000), payload);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(LargeData, ReceiveReportsErrorNumbersAndRefusesLinks) {
    fs::create_directories(kLargeDataDir);
    const std::string secret = "/opt/korvane/secret";
    write_file(secret, "keep me");
    const std::string link = std::string(kLargeDataDir) + "/link";
    fs::create_symlink(secret, link);
    const std::string directory = std::string(kLargeDataDir) + "/dir";
    fs::create_directory(directory);
    const std::string fifo = std::string(kLargeDataDir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    struct Case {
        std::string path;
        std::int64_t result;
    };
    const Case cases[] = {
        {std::string(kLargeDataDir) + "/missing", ENOENT},
        {link, ELOOP},
        {directory, EINVAL},
        {fifo, EINVAL},
    };
    for (const Case& c : cases) {
        std::uint32_t size = 0;
        EXPECT_EQ(ReceiveLargeData(c.path.c_str(), nullptr, &size), c.result) << c.path << " size";
        char buffer[64];
        void* data = buffer;
        size = sizeof buffer;
        EXPECT_EQ(ReceiveLargeData(c.path.c_str(), &data, &size), c.result) << c.path << " read";
    }
    EXPECT_EQ(read_file(secret), "keep me");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(fifo));
}

TEST_F(LargeData, ReceiveIgnoresMissingArguments) {
    std::uint32_t size = 77;
    EXPECT_EQ(ReceiveLargeData(nullptr, nullptr, &size), 0);
    EXPECT_EQ(ReceiveLargeData("", nullptr, &size), 0);
    EXPECT_EQ(ReceiveLargeData("/opt/korvane/none", nullptr, nullptr), 0);
    EXPECT_EQ(size, 77u);
}

}  // namespace
}  // namespace kv::rpc::test
