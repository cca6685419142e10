// The ELF section reader and writer on files built by the tests: both
// classes and byte orders, crafted broken files with their exact log lines,
// sizes that would overflow, extraction and in-place updates.
#include "elf_section.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "elf_image.hpp"
#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"
#include "syslog_recorder.hpp"

namespace {

using namespace std::chrono_literals;
using kv::test::ElfSectionSpec;
using kv::test::ElfSpec;

struct ContextCloser {
    void operator()(ElfContext* ctx) const noexcept { kv_elf_close(ctx); }
};
using Context = std::unique_ptr<ElfContext, ContextCloser>;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ElfSection : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = kv::test::shared_syslog();
        ASSERT_NE(log_, nullptr) << "run through tests/harness/nsrun.sh";
        log_->clear();
    }
    // Waits for a marker, so every line logged before it has arrived.
    std::vector<std::string> logged() {
        syslog(LOG_ERR, "test: marker");
        EXPECT_TRUE(log_->wait_for("test: marker", 5s));
        std::vector<std::string> out;
        for (const auto& l : log_->lines()) {
            if (l.message != "test: marker")
                out.push_back(l.message);
        }
        log_->clear();
        return out;
    }
    std::string write(const std::string& name, const ElfSpec& spec) {
        const std::string path = dir_.file(name);
        EXPECT_EQ(kv::test::write_elf(path, spec), 0);
        return path;
    }
    kv::test::SyslogRecorder* log_ = nullptr;
    kv::test::TempDir dir_{"kvelf"};
};

ElfSpec three_sections(bool is64, bool big, std::uint16_t machine) {
    ElfSpec spec;
    spec.is64 = is64;
    spec.big_endian = big;
    spec.machine = machine;
    spec.sections = {ElfSectionSpec{".text", std::string(40, 'T')}, ElfSectionSpec{".data", "abcdef"},
                     ElfSectionSpec{"__version", std::string("3.1.1000.340", 13)}};
    return spec;
}

TEST_F(ElfSection, EachClassAndByteOrderOpensAndReads) {
    struct Case {
        const char* name;
        bool is64, big;
        std::uint16_t machine;
    } cases[] = {{"64le", true, false, 62}, {"32le", false, false, 3}, {"32be", false, true, 20},
                 {"64be", true, true, 43}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ElfSpec spec = three_sections(c.is64, c.big, c.machine);
        const std::string bytes = kv::test::elf_bytes(spec);
        const std::string path = write(c.name, spec);
        Context ctx(kv_elf_open(path.c_str()));
        ASSERT_TRUE(ctx);
        EXPECT_EQ(kv_get_file_size(ctx.get()), static_cast<int64_t>(bytes.size()));
        std::uint64_t offset = 0, size = 0;
        ASSERT_EQ(kv_elf_get_section_offset(ctx.get(), ".data", &offset, &size), 0);
        EXPECT_EQ(size, 6u);
        EXPECT_EQ(bytes.substr(offset, size), "abcdef");
        EXPECT_EQ(kv_elf_get_section_offset(ctx.get(), ".dat", nullptr, nullptr), -1);
        EXPECT_EQ(kv_elf_get_section_offset(ctx.get(), ".data", nullptr, nullptr), 0);
        char* data = nullptr;
        ASSERT_EQ(kv_elf_read_section(ctx.get(), "__version", &data), 13);
        EXPECT_STREQ(data, "3.1.1000.340");
        std::free(data);
        EXPECT_EQ(kv_elf_read_section(ctx.get(), ".text", nullptr), 0);
        EXPECT_EQ(kv_elf_read_section(ctx.get(), ".none", &data), -1);
    }
    EXPECT_TRUE(logged().empty());
}

TEST_F(ElfSection, BrokenFilesAreRefusedWithTheirMessage) {
    const ElfSpec good = three_sections(true, false, 62);
    const std::string good_bytes = kv::test::elf_bytes(good);
    auto with = [](ElfSpec s, auto change) { change(s); return kv::test::elf_bytes(s); };
    std::string bad_magic = good_bytes;
    bad_magic[1] = 'X';
    std::string no_encoding = good_bytes;
    no_encoding[5] = 0;
    std::string bad_class = good_bytes;
    bad_class[4] = 3;
    const std::string short32 = kv::test::elf_bytes(three_sections(false, false, 3)).substr(0, 30);
    const std::string strtab_huge = with(good, [](ElfSpec& s) {
        s.sections.push_back(ElfSectionSpec{"x", "y"});
        s.shstrndx = 4;   // "x", whose size is overridden below
        s.sections.back().size = UINT64_MAX;
    });
    const std::string headers_past_end = with(good, [](ElfSpec& s) { s.shoff = 0x100000; });
    const std::string filesize = std::to_string(good_bytes.size());
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> messages;
    } cases[] = {
        {"ten bytes", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), {"error: failed to read 16 bytes: got 10 bytes"}},
        {"magic", bad_magic, {"error: wrong elf magic"}},
        {"encoding", no_encoding, {"error: wrong elf data encoding"}},
        {"class", bad_class, {"error: unknown class"}},
        {"short 32-bit header", short32, {"error: failed to read 32-bit elf header"}},
        {"short 64-bit header", good_bytes.substr(0, 40), {"error: failed to read 64-bit elf header"}},
        {"no sections", with(good, [](ElfSpec& s) { s.shnum = 0; }), {"error: no section entries"}},
        {"string index", with(good, [](ElfSpec& s) { s.shstrndx = 5; }), {"error: invalid string section index"}},
        {"headers past the end", headers_past_end,
         {"error: failed to read 320 bytes for 5 headers",
          "error: section header data is invalid: sh_size=0, sh_offset=0x0, filesize=" +
              std::to_string(headers_past_end.size())}},
        {"name table of 2^64-1 bytes", strtab_huge,
         {"error: section header data is invalid: sh_size=-1, sh_offset=0x" +
          [&] { char b[16]; std::snprintf(b, sizeof b, "%X", 64 + 40 + 6 + 13); return std::string(b); }() +
          ", filesize=" + std::to_string(strtab_huge.size())}},
        {"empty file", "", {"error: failed to get file size for: %PATH%"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file("broken");
        ASSERT_TRUE(kv::test::write_text_file(path, c.bytes));
        EXPECT_EQ(kv_elf_open(path.c_str()), nullptr);
        std::vector<std::string> expected = c.messages;
        for (auto& m : expected) {
            if (const auto at = m.find("%PATH%"); at != std::string::npos)
                m.replace(at, 6, path);
        }
        EXPECT_EQ(logged(), expected);
    }
    EXPECT_EQ(kv_elf_open(nullptr), nullptr);
    EXPECT_EQ(logged(), std::vector<std::string>{"error: missing filename"});
    const std::string missing = dir_.file("missing");
    EXPECT_EQ(kv_elf_open(missing.c_str()), nullptr);
    EXPECT_EQ(logged(), std::vector<std::string>{"error: failed to open file:" + missing + ":No such file or directory"});
}

TEST_F(ElfSection, NamesStayInsideTheirTable) {
    ElfSpec spec = three_sections(true, false, 62);
    spec.sections[0].name_offset = 0xFFFFFFF0u;     // outside the table: empty name
    spec.sections[1].name_offset = 1;               // ".text..." read from offset 1
    // A table whose last name runs to its end without a terminator.
    spec.shstrtab = std::string("\0.data\0.shstrtab\0__vers", 23);
    spec.sections[2].name_offset = 17;
    spec.sections[1].name_offset = 1;
    const std::string path = write("names", spec);
    Context ctx(kv_elf_open(path.c_str()));
    ASSERT_TRUE(ctx);
    EXPECT_EQ(kv_elf_get_section_offset(ctx.get(), "__vers", nullptr, nullptr), 0);
    EXPECT_EQ(kv_elf_get_section_offset(ctx.get(), ".data", nullptr, nullptr), 0);
    std::uint64_t offset = 1, size = 1;
    ASSERT_EQ(kv_elf_get_section_offset(ctx.get(), "", &offset, &size), 0);
    EXPECT_EQ(offset, 0u);   // the null section comes first among empty names
    EXPECT_EQ(size, 0u);
}

TEST_F(ElfSection, TheFirstOfTwoSameNamedSectionsIsUsed) {
    ElfSpec spec = three_sections(false, false, 3);
    spec.sections.push_back(ElfSectionSpec{".data", "second"});
    const std::string path = write("twice", spec);
    Context ctx(kv_elf_open(path.c_str()));
    ASSERT_TRUE(ctx);
    char* data = nullptr;
    ASSERT_EQ(kv_elf_read_section(ctx.get(), ".data", &data), 6);
    EXPECT_STREQ(data, "abcdef");
    std::free(data);
}

TEST_F(ElfSection, SectionsOutsideTheFileAreNeverRead) {
    ElfSpec spec = three_sections(true, false, 62);
    spec.sections.push_back(ElfSectionSpec{"wrap", "w"});
    spec.sections.back().size = UINT64_MAX;          // size + 1 wraps to 0
    spec.sections.push_back(ElfSectionSpec{"past", "p"});
    spec.sections.back().size = 1u << 20;
    spec.sections.push_back(ElfSectionSpec{"far", "f"});
    spec.sections.back().offset = UINT64_MAX - 3;
    spec.sections.push_back(ElfSectionSpec{"over4g", "o"});
    spec.sections.back().size = 0x100000001ull;      // truncates to 1 in a 32-bit size_t
    const std::string path = write("outside", spec);
    Context ctx(kv_elf_open(path.c_str()));
    ASSERT_TRUE(ctx);
    const std::string filesize = std::to_string(kv_get_file_size(ctx.get()));
    for (const char* name : {"wrap", "past", "far", "over4g"}) {
        SCOPED_TRACE(name);
        std::uint64_t offset = 0;
        ASSERT_EQ(kv_elf_get_section_offset(ctx.get(), name, &offset, nullptr), 0);
        char* data = nullptr;
        EXPECT_EQ(kv_elf_read_section(ctx.get(), name, &data), -1);
        EXPECT_EQ(data, nullptr);
        char hex[24];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(offset));
        const std::string message = std::string("error: Invalid header offset - sh_offset=0x") + hex + ", filesize=" + filesize;
        EXPECT_EQ(logged(), std::vector<std::string>{message});
        const std::string out = dir_.file("out");
        EXPECT_EQ(kv_elf_extract_section(ctx.get(), name, out.c_str()), -1);
        EXPECT_EQ(logged(), std::vector<std::string>{message});
        EXPECT_NE(access(out.c_str(), F_OK), 0);
    }
}

TEST_F(ElfSection, ExtractWritesTheBytesAndKeepsTheOutputOnFailure) {
    ElfSpec spec = three_sections(true, false, 62);
    spec.sections.push_back(ElfSectionSpec{"big", std::string(2500, 'b') + "end"});
    spec.sections.push_back(ElfSectionSpec{"broken", "x"});
    spec.sections.back().size = 1u << 20;
    const std::string path = write("extract", spec);
    Context ctx(kv_elf_open(path.c_str()));
    ASSERT_TRUE(ctx);
    const std::string out = dir_.file("section.bin");
    ASSERT_EQ(kv_elf_extract_section(ctx.get(), "big", out.c_str()), 2503);
    EXPECT_EQ(read_file(out), std::string(2500, 'b') + "end");

    ASSERT_TRUE(kv::test::write_text_file(out, "keep me"));
    EXPECT_EQ(kv_elf_extract_section(ctx.get(), "absent", out.c_str()), -1);
    EXPECT_EQ(read_file(out), "keep me");
    EXPECT_EQ(kv_elf_extract_section(ctx.get(), "broken", out.c_str()), -1);
    EXPECT_EQ(read_file(out), "keep me");
    (void)logged();

    const std::string no_dir = dir_.file("none/section.bin");
    EXPECT_EQ(kv_elf_extract_section(ctx.get(), ".data", no_dir.c_str()), -1);
    EXPECT_EQ(logged(), std::vector<std::string>{"error: failed to open file: " + no_dir + " :No such file or directory"});
    ASSERT_EQ(kv_elf_extract_section(ctx.get(), ".data", out.c_str()), 6);
    EXPECT_EQ(read_file(out), "abcdef");

    // Nothing but the output is left beside it.
    EXPECT_EQ(kv::test::run_program({"/bin/ls", "-A", dir_.path()}).out, "extract\nsection.bin\n");
}

TEST_F(ElfSection, UpdateOverwritesExactlyTheSectionsSize) {
    const std::string path = write("update", three_sections(false, false, 3));
    const std::string before = read_file(path);
    {
        Context ctx(kv_elf_open_rw(path.c_str()));
        ASSERT_TRUE(ctx);
        EXPECT_EQ(kv_elf_update_section_data(ctx.get(), "__version", "3.1.1000.34", 12), -1);
        EXPECT_EQ(logged(), std::vector<std::string>{"error: data length(12) is not the same as section size(13)"});
        EXPECT_EQ(read_file(path), before);
        EXPECT_EQ(kv_elf_update_section_data(ctx.get(), "__nothing", "x", 1), -1);
        EXPECT_EQ(logged(), std::vector<std::string>{"error: failed to get offset for section: __nothing"});
        EXPECT_EQ(kv_elf_update_section_data(ctx.get(), "__version", "x", 0), -1);
        EXPECT_EQ(kv_elf_update_section_data(ctx.get(), "__version", nullptr, 13), -1);
        EXPECT_TRUE(logged().empty());
        ASSERT_EQ(kv_elf_update_section_data(ctx.get(), "__version", "9.9.9999.999", 13), 13);
        // Visible at once, before the context is closed.
        Context reader(kv_elf_open(path.c_str()));
        char* data = nullptr;
        ASSERT_EQ(kv_elf_read_section(reader.get(), "__version", &data), 13);
        EXPECT_STREQ(data, "9.9.9999.999");
        std::free(data);
        // The same context reads its own update.
        ASSERT_EQ(kv_elf_read_section(ctx.get(), "__version", &data), 13);
        EXPECT_STREQ(data, "9.9.9999.999");
        std::free(data);
    }
    std::string expected = before;
    expected.replace(expected.find("3.1.1000.340"), 12, "9.9.9999.999");
    EXPECT_EQ(read_file(path), expected);

    Context read_only(kv_elf_open(path.c_str()));
    ASSERT_TRUE(read_only);
    EXPECT_EQ(kv_elf_update_section_data(read_only.get(), "__version", "1.1.1111.111", 13), -1);
    EXPECT_EQ(logged(), std::vector<std::string>{"error: write failed: expected bytes:13 written bytes:0"});
    EXPECT_EQ(read_file(path), expected);
}

TEST_F(ElfSection, AnUpdateThatCannotReachTheDiskFails) {
    // The section's bytes are a hole on a full filesystem: writing them needs
    // a block that is not there.
    const std::string small = dir_.file("small");
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    kv::test::TmpfsMount fs(small, "size=64k");
    ASSERT_TRUE(fs.ok());
    ElfSpec spec = three_sections(true, false, 62);
    spec.data_start = 1 << 20;
    // Holes on both sides keep the version's page free of written bytes.
    spec.sections.insert(spec.sections.begin() + 2, ElfSectionSpec{"pad1", std::string(8192, '\0')});
    spec.sections[2].hole = true;
    spec.sections[3].hole = true;
    spec.sections.insert(spec.sections.begin() + 4, ElfSectionSpec{"pad2", std::string(8192, '\0')});
    spec.sections[4].hole = true;
    const std::string path = small + "/hole";
    ASSERT_EQ(kv::test::write_elf(path, spec), 0);
    Context ctx(kv_elf_open_rw(path.c_str()));
    ASSERT_TRUE(ctx);
    ASSERT_EQ(kv_elf_get_section_offset(ctx.get(), "__version", nullptr, nullptr), 0);
    (void)kv::test::write_text_file(small + "/filler", std::string(64 * 1024, 'f'));   // fills what is left
    EXPECT_EQ(kv_elf_update_section_data(ctx.get(), "__version", "9.9.9999.999", 13), -1);
    EXPECT_EQ(logged(), std::vector<std::string>{"error: write failed: expected bytes:13 written bytes:0"});
}

TEST_F(ElfSection, OffsetsBeyondFourGibibytesWork) {
    ElfSpec spec = three_sections(true, false, 62);
    spec.data_start = 5ull << 30;
    const std::string path = write("sparse", spec);
    Context ctx(kv_elf_open(path.c_str()));
    ASSERT_TRUE(ctx);
    EXPECT_GT(kv_get_file_size(ctx.get()), 5ll << 30);
    std::uint64_t offset = 0;
    ASSERT_EQ(kv_elf_get_section_offset(ctx.get(), "__version", &offset, nullptr), 0);
    EXPECT_GT(offset, 5ull << 30);
    char* data = nullptr;
    ASSERT_EQ(kv_elf_read_section(ctx.get(), "__version", &data), 13);
    EXPECT_STREQ(data, "3.1.1000.340");
    std::free(data);
}

TEST_F(ElfSection, SilentContextsLogNothing) {
    const std::string path = dir_.file("text");
    ASSERT_TRUE(kv::test::write_text_file(path, "not an ELF file at all"));
    EXPECT_EQ(kv::helper::elf_open(path.c_str(), false, kv::helper::ElfMessages::silent), nullptr);
    EXPECT_EQ(kv::helper::elf_open(nullptr, false, kv::helper::ElfMessages::silent), nullptr);
    ElfSpec spec = three_sections(true, false, 62);
    spec.sections.push_back(ElfSectionSpec{"wrap", "w"});
    spec.sections.back().size = UINT64_MAX;
    const std::string elf = write("quiet", spec);
    ElfContext* ctx = kv::helper::elf_open(elf.c_str(), false, kv::helper::ElfMessages::silent);
    ASSERT_NE(ctx, nullptr);
    char* data = nullptr;
    EXPECT_EQ(kv::helper::elf_read_section(*ctx, "wrap", &data), -1);
    EXPECT_EQ(kv::helper::elf_extract_section(*ctx, "wrap", dir_.file("o").c_str()), -1);
    kv::helper::elf_close(ctx);
    EXPECT_TRUE(logged().empty());
}

}  // namespace
