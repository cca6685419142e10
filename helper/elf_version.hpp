// Version texts of the system's own ELF files: the "__version" section read
// through the section reader, and the JSON executable description.
#pragma once

#include <cstdint>

#include "elf_section.hpp"

// The executable description's format, also exported as data.
#define KV_JSON_STRING_FORMAT "{ \"Copyright\": \" \", \"Version\": \"%s\", \"ProductName\": \" \" }"

namespace kv::helper {

inline constexpr char kVersionSectionName[] = "__version";
inline constexpr char kCopyrightSectionName[] = "__copyright";
inline constexpr char kJsonStringFormat[] = KV_JSON_STRING_FORMAT;

// Offset and size of the section `name` of the file `path`: 0, or -1 when
// the file cannot be opened or has no such section.
int elf_section_offset(const char* path, const char* name, std::uint64_t* ret_offset, std::uint64_t* ret_size,
                       ElfMessages messages) noexcept;

// Copies the "__version" section of an i386 or x86-64 file into
// buffer[0..capacity), always terminated. Returns 0 when copied; the size
// the text needs (a missing terminator counted) when the buffer is smaller,
// leaving it unchanged; -1 on failure.
int elf_version_string(const char* path, char* buffer, int capacity, ElfMessages messages) noexcept;

// 1 when the version was copied, else 0.
int product_version(const char* path, char* buffer, int capacity, ElfMessages messages) noexcept;

// The JSON description of `path` with its version: 1 written; 0 with
// *size set to the needed length when it is too small.
int executable_info(const char* path, char* buffer, unsigned int* size, ElfMessages messages) noexcept;

}  // namespace kv::helper
