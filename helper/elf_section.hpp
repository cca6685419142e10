// The ELF section reader and writer: a small parser of the identification,
// file header, section headers and section-name table of 32- and 64-bit
// files of either byte order. Shared by both helper libraries; the updater's
// library runs it without messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace kv::helper {

// Whether failures are written to the system log (error priority) or only
// reported through results.
enum class ElfMessages : unsigned char { logged, silent };

struct ElfSectionHeader {
    std::uint32_t name;        // offset in the section-name table
    std::uint32_t type;
    std::uint64_t flags;
    std::uint64_t addr;
    std::uint64_t offset;      // in the file
    std::uint64_t size;
    std::uint32_t link;
    std::uint32_t info;
    std::uint64_t addralign;
    std::uint64_t entsize;
};

inline constexpr std::size_t kElfIdentSize = 16;
inline constexpr std::size_t kElf32HeaderSize = 52, kElf64HeaderSize = 64;
inline constexpr std::size_t kElf32SectionHeaderSize = 40, kElf64SectionHeaderSize = 64;
inline constexpr std::uint16_t kElfMachine386 = 3, kElfMachineX8664 = 62;

}  // namespace kv::helper

// One opened file; the C interface hands it out as an opaque pointer.
struct ElfContext {
    unsigned char ident[kv::helper::kElfIdentSize];
    std::uint16_t type;
    std::uint16_t machine;
    std::uint32_t version;
    std::uint64_t entry;
    std::uint64_t phoff;
    std::uint64_t shoff;
    std::uint32_t flags;
    std::uint16_t ehsize;
    std::uint16_t phentsize;
    std::uint16_t phnum;
    std::uint16_t shentsize;
    std::uint16_t shnum;
    std::uint16_t shstrndx;
    std::unique_ptr<kv::helper::ElfSectionHeader[]> sections;   // shnum entries
    std::unique_ptr<std::unique_ptr<char[]>[]> names;            // shnum terminated names
    std::int64_t file_size;
    FILE* stream;
    kv::helper::ElfMessages messages;
};

namespace kv::helper {

// Opens `path` ("r", or "r+" with `writable`) and reads its headers and
// section names. Null on any failure, which is logged unless silent.
ElfContext* elf_open(const char* path, bool writable, ElfMessages messages) noexcept;
// Releases everything; null is ignored.
void elf_close(ElfContext* ctx) noexcept;

// The file's size by seeking to its end and back; -1 on failure (logged).
std::int64_t elf_file_size(ElfContext* ctx) noexcept;

// The first section named `name` in table order, or null.
const ElfSectionHeader* elf_find_section(const ElfContext& ctx, const char* name) noexcept;

// File offset and size of the first section named `name` (each out pointer
// may be null): 0, or -1 when there is none.
int elf_section_location(const ElfContext& ctx, const char* name, std::uint64_t* ret_offset,
                         std::uint64_t* ret_size) noexcept;

// Reads a whole section into a new buffer of size + 1 bytes whose last byte
// is NUL (the caller frees it with free()); returns the size, or -1.
std::int64_t elf_read_section(ElfContext& ctx, const char* name, char** ret_data) noexcept;

// Reads `length` bytes at `offset` within the section `header` (bounds
// checked against the file); 0 or -1.
int elf_read_section_part(ElfContext& ctx, const ElfSectionHeader& header, std::uint64_t offset,
                          void* buffer, std::size_t length) noexcept;

// Writes the section's bytes to `output_path` through a temporary file in
// the same directory that replaces the output only when complete. Returns
// the section's size, or -1.
std::int64_t elf_extract_section(ElfContext& ctx, const char* name, const char* output_path) noexcept;

// Overwrites the section's bytes in place with exactly its size of data and
// flushes them. Returns the bytes written, or -1.
std::int64_t elf_update_section(ElfContext& ctx, const char* name, const void* data,
                                std::int64_t length) noexcept;

}  // namespace kv::helper
