// ELF files built by the tests, benchmarks and fuzz seeds: any class, byte
// order and machine, named sections with chosen bytes, and header fields
// that can be overridden to craft broken files. Sparse files are made by
// placing the section data far from the header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kv::test {

struct ElfSectionSpec {
    ElfSectionSpec(std::string name_text, std::string bytes, std::uint32_t section_type = 1)
        : name(std::move(name_text)), data(std::move(bytes)), type(section_type) {}

    std::string name;
    std::string data;
    std::uint32_t type = 1;                        // PROGBITS
    bool hole = false;                             // bytes left unwritten (sparse)
    std::optional<std::uint64_t> size;             // header field overrides
    std::optional<std::uint64_t> offset;
    std::optional<std::uint32_t> name_offset;
};

struct ElfSpec {
    bool is64 = true;
    bool big_endian = false;
    std::uint16_t machine = 62;
    std::vector<ElfSectionSpec> sections;          // after the null section; ".shstrtab" is appended
    std::uint64_t data_start = 0;                  // 0: right after the file header
    std::optional<std::uint16_t> shnum;
    std::optional<std::uint16_t> shstrndx;
    std::optional<std::uint64_t> shoff;
    std::optional<std::string> shstrtab;           // replaces the generated name table
};

// The file's bytes (holes as zeros). For small layouts only.
std::string elf_bytes(const ElfSpec& spec);

// Writes the file, leaving holes unwritten; 0 or -errno.
int write_elf(const std::string& path, const ElfSpec& spec);

// A file with a "__version" section holding `version` (bytes as given, so
// add the NUL yourself) and a few ordinary sections.
ElfSpec versioned_elf(const std::string& version, bool is64 = true, std::uint16_t machine = 62);

}  // namespace kv::test
