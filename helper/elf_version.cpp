// Version texts from "__version" sections and the executable description.
#include "elf_version.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kv::helper {
namespace {

struct ContextCloser {
    void operator()(ElfContext* ctx) const noexcept { elf_close(ctx); }
};
using ContextPtr = std::unique_ptr<ElfContext, ContextCloser>;

struct CharFree {
    void operator()(char* p) const noexcept { std::free(p); }
};

}  // namespace

int elf_section_offset(const char* path, const char* name, std::uint64_t* ret_offset, std::uint64_t* ret_size,
                       ElfMessages messages) noexcept {
    ContextPtr ctx(elf_open(path, false, messages));
    if (!ctx)
        return -1;
    return elf_section_location(*ctx, name, ret_offset, ret_size);
}

int elf_version_string(const char* path, char* buffer, int capacity, ElfMessages messages) noexcept {
    if (buffer == nullptr || capacity <= 0 || path == nullptr)
        return -1;
    ContextPtr ctx(elf_open(path, false, messages));
    if (!ctx || (ctx->machine != kElfMachine386 && ctx->machine != kElfMachineX8664))
        return -1;
    const ElfSectionHeader* h = elf_find_section(*ctx, kVersionSectionName);
    // The answer must fit the int result together with a terminator.
    if (h == nullptr || h->size == 0 || h->size >= static_cast<std::uint64_t>(INT_MAX))
        return -1;
    const auto size = static_cast<std::size_t>(h->size);
    if (size > static_cast<std::size_t>(capacity)) {
        // Too small whatever the last byte is: only that byte is read.
        char last = '\0';
        if (elf_read_section_part(*ctx, *h, h->size - 1, &last, 1) != 0)
            return -1;
        return static_cast<int>(size) + (last != '\0' ? 1 : 0);
    }
    char* raw = nullptr;
    if (elf_read_section(*ctx, kVersionSectionName, &raw) < 0)
        return -1;
    std::unique_ptr<char, CharFree> data(raw);
    // A section without its own terminator gets one: the caller always
    // receives a terminated text.
    const std::size_t needed = size + (data.get()[size - 1] != '\0' ? 1 : 0);
    if (needed > static_cast<std::size_t>(capacity))
        return static_cast<int>(needed);
    std::memcpy(buffer, data.get(), size);
    if (needed > size)
        buffer[size] = '\0';
    return 0;
}

int product_version(const char* path, char* buffer, int capacity, ElfMessages messages) noexcept {
    if (buffer == nullptr || capacity <= 0)
        return 0;
    return elf_version_string(path, buffer, capacity, messages) == 0 ? 1 : 0;
}

int executable_info(const char* path, char* buffer, unsigned int* size, ElfMessages messages) noexcept {
    if (buffer == nullptr || size == nullptr)
        return 0;
    char version[32] = {};
    if (product_version(path, version, sizeof version, messages) != 1)
        version[0] = '\0';
    const std::size_t needed = std::strlen(kJsonStringFormat) + std::strlen(version);
    if (*size < needed) {
        *size = static_cast<unsigned int>(needed);
        return 0;
    }
    (void)std::snprintf(buffer, *size, KV_JSON_STRING_FORMAT, version);
    return 1;
}

}  // namespace kv::helper
