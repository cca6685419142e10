// Version texts: the project's own binaries, crafted "__version" sections
// (missing terminator, empty, foreign machines), the service's fixed path
// and the JSON executable description.
#include "elf_version.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "elf_image.hpp"
#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

using kv::test::ElfSpec;

class ElfVersion : public ::testing::Test {
protected:
    std::string write(const std::string& name, const ElfSpec& spec) {
        const std::string path = dir_.file(name);
        EXPECT_EQ(kv::test::write_elf(path, spec), 0);
        return path;
    }
    kv::test::TempDir dir_{"kvver"};
};

TEST_F(ElfVersion, TheProjectsOwnBinariesCarryTheirVersion) {
    for (const char* path : {KV_TEST_KVHELPER_LIBRARY, KV_TEST_PRODUCT_PROGRAM}) {
        SCOPED_TRACE(path);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        ASSERT_EQ(ELFGetVersionString(path, buffer, sizeof buffer, 0), 0);
        EXPECT_STREQ(buffer, "3.1.1000.340");
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(KvGetKorvaneDylibVersion(path, buffer, 13), 0);
        EXPECT_STREQ(buffer, "3.1.1000.340");
        EXPECT_EQ(GetProductVersion(path, buffer, sizeof buffer), 1);
        std::uint64_t offset = 0, size = 0;
        EXPECT_EQ(ELFGetSectionOffset(path, "__version", &offset, &size), 0);
        EXPECT_EQ(size, 13u);
        EXPECT_EQ(KvModelDataOffset(path, &offset, &size), 0);
        EXPECT_GT(size, 0u);
    }
    EXPECT_STREQ(get_version(), "3.1.1000.340");
    EXPECT_STREQ(version_section_string, "__version");
    EXPECT_STREQ(copyright_section_string, "__copyright");
    EXPECT_STREQ(JSON_STRING_FORMAT, R"({ "Copyright": " ", "Version": "%s", "ProductName": " " })");
}

TEST_F(ElfVersion, BufferSizesAndTerminators) {
    struct Case {
        const char* name;
        std::string section;   // bytes of "__version"
        int capacity;
        int result;
        const char* text;      // buffer afterwards; null: unchanged
    } cases[] = {
        {"fits", std::string("3.1.1000.340", 13), 13, 0, "3.1.1000.340"},
        {"too small", std::string("3.1.1000.340", 13), 4, 13, nullptr},
        {"one short", std::string("3.1.1000.340", 13), 12, 13, nullptr},
        {"no terminator, room for one", "1.2.3", 6, 0, "1.2.3"},
        {"no terminator, exactly its size", "1.2.3", 5, 6, nullptr},
        {"no terminator, too small", "1.2.3", 2, 6, nullptr},
        {"empty", "", 16, -1, nullptr},
        {"zero capacity", "1.2.3", 0, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write("v", kv::test::versioned_elf(c.section));
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(ELFGetVersionString(path.c_str(), buffer, c.capacity, 0), c.result);
        if (c.text != nullptr)
            EXPECT_STREQ(buffer, c.text);
        else
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
    }
}

TEST_F(ElfVersion, OnlyIntelMachinesAreRead) {
    struct Case {
        bool is64, big;
        std::uint16_t machine;
        int result;
    } cases[] = {{true, false, 62, 0}, {false, false, 3, 0}, {false, true, 20, -1}, {false, false, 40, -1},
                 {true, false, 183, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        ElfSpec spec = kv::test::versioned_elf(std::string("3.1.1000.340", 13), c.is64, c.machine);
        spec.big_endian = c.big;
        const std::string path = write("m", spec);
        char buffer[32] = {};
        EXPECT_EQ(ELFGetVersionString(path.c_str(), buffer, sizeof buffer, 0), c.result);
        EXPECT_EQ(ELFGetSectionOffset(path.c_str(), "__version", nullptr, nullptr), 0);   // opens all the same
    }
    ElfSpec none = kv::test::versioned_elf("x");
    none.sections.pop_back();
    none.sections.erase(none.sections.begin() + 2);
    char buffer[32];
    EXPECT_EQ(ELFGetVersionString(write("none", none).c_str(), buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(ELFGetVersionString(dir_.file("missing").c_str(), buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(ELFGetVersionString(nullptr, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(ELFGetVersionString(KV_TEST_KVHELPER_LIBRARY, nullptr, 32, 0), -1);
    EXPECT_EQ(GetProductVersion(KV_TEST_KVHELPER_LIBRARY, nullptr, 32), 0);
    EXPECT_EQ(GetProductVersion(KV_TEST_KVHELPER_LIBRARY, buffer, 0), 0);
    EXPECT_EQ(ELFGetSectionOffset(dir_.file("missing").c_str(), "__version", nullptr, nullptr), -1);
}

TEST_F(ElfVersion, ProductVersionReadsTheInstalledService) {
    ASSERT_TRUE(kv::test::in_test_namespace());
    char buffer[32] = {};
    EXPECT_EQ(KvGetProductVersion(buffer, sizeof buffer), 0);   // not installed
    ASSERT_EQ(mkdir("/opt/korvane/desktop", 0755), 0);
    ASSERT_EQ(kv::test::write_elf("/opt/korvane/desktop/korvanesvc", kv::test::versioned_elf(std::string("7.0.1.2", 8))), 0);
    EXPECT_EQ(KvGetProductVersion(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "7.0.1.2");
    EXPECT_EQ(KvGetProductVersion(buffer, 4), 0);
    (void)unlink("/opt/korvane/desktop/korvanesvc");
    (void)rmdir("/opt/korvane/desktop");
}

TEST_F(ElfVersion, ExecutableInfoAsksForItsSizeThenWrites) {
    const std::string expected = R"({ "Copyright": " ", "Version": "3.1.1000.340", "ProductName": " " })";
    unsigned int size = 10;
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(KvGetExecutableInfo(KV_TEST_PRODUCT_PROGRAM, buffer, &size), 0);
    EXPECT_EQ(size, std::strlen(JSON_STRING_FORMAT) + std::strlen("3.1.1000.340"));
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(GetExecutableInfo(KV_TEST_PRODUCT_PROGRAM, buffer, &size), 1);
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_GE(size, expected.size() + 1);

    unsigned int big = sizeof buffer;
    const std::string plain = dir_.file("plain");
    ASSERT_TRUE(kv::test::write_text_file(plain, "no ELF"));
    EXPECT_EQ(GetExecutableInfo(plain.c_str(), buffer, &big), 1);
    EXPECT_STREQ(buffer, R"({ "Copyright": " ", "Version": "", "ProductName": " " })");
    EXPECT_EQ(GetExecutableInfo(plain.c_str(), nullptr, &big), 0);
    EXPECT_EQ(GetExecutableInfo(plain.c_str(), buffer, nullptr), 0);
}

}  // namespace
