// Exported ELF section functions, version texts and their data. The
// service's library writes every failure to the system log; the updater's
// library builds this file with KV_ELF_SILENT and writes none.
#include <cerrno>

#include "control_paths.hpp"
#include "elf_section.hpp"
#include "elf_version.hpp"
#include "file_open.hpp"
#include "kvhelper.h"

using namespace kv::helper;

namespace {
#ifdef KV_ELF_SILENT
constexpr ElfMessages kMessages = ElfMessages::silent;
#else
constexpr ElfMessages kMessages = ElfMessages::logged;
#endif
}

extern "C" {

const char version_section_string[] = "__version";
const char copyright_section_string[] = "__copyright";
const char JSON_STRING_FORMAT[] = KV_JSON_STRING_FORMAT;

KV_EXPORT ElfContext* kv_elf_open_full(const char* path, int writable) noexcept {
    return elf_open(path, writable == 1, kMessages);
}
KV_EXPORT ElfContext* kv_elf_open(const char* path) noexcept { return kv_elf_open_full(path, 0); }
KV_EXPORT ElfContext* kv_elf_open_rw(const char* path) noexcept { return kv_elf_open_full(path, 1); }
KV_EXPORT void kv_elf_close(ElfContext* ctx) noexcept { elf_close(ctx); }
KV_EXPORT int64_t kv_get_file_size(ElfContext* ctx) noexcept { return elf_file_size(ctx); }

KV_EXPORT int kv_elf_get_section_offset(ElfContext* ctx, const char* name, uint64_t* offset, uint64_t* size) noexcept {
    if (ctx == nullptr || name == nullptr)
        return -1;
    return elf_section_location(*ctx, name, offset, size);
}

KV_EXPORT int64_t kv_elf_read_section(ElfContext* ctx, const char* name, char** data) noexcept {
    if (ctx == nullptr || name == nullptr)
        return -1;
    return elf_read_section(*ctx, name, data);
}

KV_EXPORT int64_t kv_elf_extract_section(ElfContext* ctx, const char* name, const char* output_path) noexcept {
    if (ctx == nullptr || name == nullptr || output_path == nullptr)
        return -1;
    return elf_extract_section(*ctx, name, output_path);
}

KV_EXPORT int64_t kv_elf_update_section_data(ElfContext* ctx, const char* name, const void* data,
                                             int64_t length) noexcept {
    if (ctx == nullptr)
        return -1;
    return elf_update_section(*ctx, name, data, length);
}

KV_EXPORT FILE* kv_elf_fopen(const char* path, const char* mode) noexcept {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return fopen_retrying(path, mode);
}

KV_EXPORT int ELFGetSectionOffset(const char* path, const char* name, uint64_t* offset, uint64_t* size) noexcept {
    return elf_section_offset(path, name, offset, size, kMessages);
}

KV_EXPORT int ELFGetVersionString(const char* path, char* buffer, int size, int) noexcept {
    return elf_version_string(path, buffer, size, kMessages);
}
KV_EXPORT int KvGetKorvaneDylibVersion(const char* path, char* buffer, int size) noexcept {
    return ELFGetVersionString(path, buffer, size, 0);
}

KV_EXPORT int GetProductVersion(const char* path, char* buffer, int size) noexcept {
    return product_version(path, buffer, size, kMessages);
}
KV_EXPORT int KvGetProductVersion(char* buffer, int size) noexcept {
    return GetProductVersion(kAgentServicePath, buffer, size);
}

KV_EXPORT int GetExecutableInfo(const char* path, char* buffer, unsigned int* size) noexcept {
    return executable_info(path, buffer, size, kMessages);
}
KV_EXPORT int KvGetExecutableInfo(const char* path, char* buffer, unsigned int* size) noexcept {
    return GetExecutableInfo(path, buffer, size);
}

KV_EXPORT int KvModelDataOffset(const char* path, uint64_t* offset, uint64_t* size) noexcept {
    return ELFGetSectionOffset(path, ".rodata", offset, size);
}

KV_EXPORT const char* get_version(void) noexcept { return version_number; }

}  // extern "C"
