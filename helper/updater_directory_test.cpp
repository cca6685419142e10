// Removal of /opt/korvane/desktop/updater_tmp (private in the test namespace).
#include "updater_directory.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

namespace fs = std::filesystem;
constexpr char kDir[] = "/opt/korvane/desktop/updater_tmp";

class UpdaterDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace());
        std::error_code ec;
        fs::remove_all("/opt/korvane/desktop", ec);
        ASSERT_TRUE(fs::create_directories("/opt/korvane/desktop"));
    }
    static void fill(const std::vector<std::string>& names) {
        ASSERT_TRUE(fs::create_directory(kDir));
        for (const auto& n : names)
            ASSERT_TRUE(kv::test::write_text_file(std::string(kDir) + "/" + n, "x"));
    }
};

TEST_F(UpdaterDirectory, AbsentIsSuccess) { EXPECT_EQ(KvUpdaterRemoveTmpDir(), 0); }

TEST_F(UpdaterDirectory, RemovesTheUpdaterItsLibrariesAndTheDirectory) {
    fill({"kvupdate", "libkvhelper.so", kv::helper::kRuntimePosixLibrary, kv::helper::kRuntimeTlsLibrary});
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), 0);
    EXPECT_FALSE(fs::exists(kDir));
}

TEST_F(UpdaterDirectory, OtherFilesKeepTheDirectory) {
    fill({"kvupdate", "libkvhelper.so", kv::helper::kRuntimePosixLibrary, "kvupdatesvc"});
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), -1);
    ASSERT_TRUE(fs::exists(kDir));
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(kDir))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"kvupdatesvc"});
}

// A link in the directory's place: nothing is removed where it points.
TEST_F(UpdaterDirectory, LinkInItsPlaceIsNotFollowed) {
    kv::test::TempDir elsewhere("kvupd");
    ASSERT_TRUE(kv::test::write_text_file(elsewhere.file("kvupdate"), "x"));
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), kDir), 0);
    EXPECT_EQ(KvUpdaterRemoveTmpDir(), -1);
    EXPECT_TRUE(fs::exists(elsewhere.file("kvupdate")));
}

}  // namespace
