// Untrusted files through the ELF section reader: open, look up sections by
// name and read them, as the service does for any file it is asked about.
// The input becomes the content of an in-memory file opened by path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "elf_section.hpp"
#include "elf_version.hpp"

namespace {

int memory_file() {
    static const int fd = memfd_create("kv-elf-fuzz", MFD_CLOEXEC);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::helper;
    const int fd = memory_file();
    if (fd < 0 || ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    ElfContext* ctx = elf_open(path, false, ElfMessages::logged);
    if (ctx == nullptr)
        return 0;
    for (const char* name : {".text", ".rodata", "__version", ".shstrtab", "", "x"}) {
        std::uint64_t offset = 0, length = 0;
        if (elf_section_location(*ctx, name, &offset, &length) != 0)
            continue;
        char* bytes = nullptr;
        if (elf_read_section(*ctx, name, &bytes) >= 0)
            std::free(bytes);
        char last = 0;
        if (const ElfSectionHeader* h = elf_find_section(*ctx, name); h != nullptr && h->size > 0)
            (void)elf_read_section_part(*ctx, *h, h->size - 1, &last, 1);
    }
    elf_close(ctx);
    char version[16];
    (void)elf_version_string(path, version, sizeof version, ElfMessages::silent);
    return 0;
}
