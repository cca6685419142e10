// ELF section reader and writer. Every failure is logged once, here, unless
// the context is silent; no partially opened context is ever returned.
#include "elf_section.hpp"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "file_open.hpp"

// 64-bit counts in four messages use the conversions of `long` where it is
// 64 bits wide and of `long long` in the 32-bit build.
#if __SIZEOF_LONG__ == 8
#define KV_ELF_U64 "%lu"
#define KV_ELF_I64 "%ld"
#else
#define KV_ELF_U64 "%llu"
#define KV_ELF_I64 "%lld"
#endif

namespace kv::helper {
namespace {

#if __SIZEOF_LONG__ == 8
using LogU64 = unsigned long;
using LogI64 = long;
#else
using LogU64 = unsigned long long;
using LogI64 = long long;
#endif

[[gnu::format(printf, 2, 3)]] void elf_error(ElfMessages messages, const char* format, ...) noexcept {
    if (messages == ElfMessages::silent)
        return;
    va_list args;
    va_start(args, format);
    vsyslog(LOG_ERR, format, args);
    va_end(args);
}

const char* error_text(int error) noexcept {
    thread_local char text[128];
    return strerror_r(error, text, sizeof text);
}

// Field decoding in the file's byte order (data-encoding byte 1: little).
struct FieldReader {
    const unsigned char* bytes;
    bool big_endian;

    std::uint64_t get(std::size_t at, std::size_t width) const noexcept {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t k = big_endian ? i : width - 1 - i;
            v = (v << 8) | bytes[at + k];
        }
        return v;
    }
    std::uint16_t u16(std::size_t at) const noexcept { return static_cast<std::uint16_t>(get(at, 2)); }
    std::uint32_t u32(std::size_t at) const noexcept { return static_cast<std::uint32_t>(get(at, 4)); }
    std::uint64_t u64(std::size_t at) const noexcept { return get(at, 8); }
    // An address-sized field: 4 bytes in 32-bit files, 8 in 64-bit files.
    std::uint64_t addr(std::size_t at, bool is64) const noexcept { return is64 ? u64(at) : u32(at); }
};

int seek_to(FILE* stream, std::uint64_t offset) noexcept {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

// The file header after the identification: 36 bytes (32-bit) or 48.
void decode_file_header(ElfContext& ctx, const FieldReader& r, bool is64) noexcept {
    const std::size_t a = is64 ? 8 : 4;   // width of entry, phoff, shoff
    ctx.type = r.u16(0);
    ctx.machine = r.u16(2);
    ctx.version = r.u32(4);
    ctx.entry = r.addr(8, is64);
    ctx.phoff = r.addr(8 + a, is64);
    ctx.shoff = r.addr(8 + 2 * a, is64);
    std::size_t at = 8 + 3 * a;
    ctx.flags = r.u32(at);
    ctx.ehsize = r.u16(at + 4);
    ctx.phentsize = r.u16(at + 6);
    ctx.phnum = r.u16(at + 8);
    ctx.shentsize = r.u16(at + 10);
    ctx.shnum = r.u16(at + 12);
    ctx.shstrndx = r.u16(at + 14);
}

// One section header: 40 bytes (32-bit) or 64, widened.
ElfSectionHeader decode_section_header(const FieldReader& r, bool is64) noexcept {
    ElfSectionHeader h{};
    const std::size_t a = is64 ? 8 : 4;   // width of flags, addr, offset, size, addralign, entsize
    h.name = r.u32(0);
    h.type = r.u32(4);
    h.flags = r.addr(8, is64);
    h.addr = r.addr(8 + a, is64);
    h.offset = r.addr(8 + 2 * a, is64);
    h.size = r.addr(8 + 3 * a, is64);
    h.link = r.u32(8 + 4 * a);
    h.info = r.u32(12 + 4 * a);
    h.addralign = r.addr(16 + 4 * a, is64);
    h.entsize = r.addr(16 + 5 * a, is64);
    return h;
}

// True when the section's bytes lie wholly inside the file and a buffer of
// size + 1 bytes can be addressed. Computed without overflow: a size near
// 2^64 must not wrap into a small allocation.
bool section_in_file(const ElfContext& ctx, const ElfSectionHeader& h) noexcept {
    if (ctx.file_size <= 0)
        return false;
    const auto file_size = static_cast<std::uint64_t>(ctx.file_size);
    return h.offset <= file_size && h.size <= file_size - h.offset && h.size < SIZE_MAX;
}

void log_invalid_offset(const ElfContext& ctx, const ElfSectionHeader& h) noexcept {
    elf_error(ctx.messages, "error: Invalid header offset - sh_offset=0x%X, filesize=%lu\n",
              static_cast<unsigned>(h.offset), static_cast<unsigned long>(ctx.file_size));
}

struct ContextCloser {
    void operator()(ElfContext* ctx) const noexcept { elf_close(ctx); }
};
using ContextPtr = std::unique_ptr<ElfContext, ContextCloser>;

// Reads and decodes the section table; false when the step failed in a way
// other than a short read (a short read leaves the table zeroed).
bool read_section_table(ElfContext& ctx, bool is64) noexcept {
    const ElfMessages m = ctx.messages;
    const std::size_t entry_size = is64 ? kElf64SectionHeaderSize : kElf32SectionHeaderSize;
    const std::size_t bytes = std::size_t{ctx.shnum} * entry_size;
    if (seek_to(ctx.stream, ctx.shoff) != 0) {
        elf_error(m, "error: fseek failed:%s\n", error_text(errno));
        return false;
    }
    ctx.sections.reset(new (std::nothrow) ElfSectionHeader[ctx.shnum]());
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[bytes]);
    if (!ctx.sections || !raw) {
        if (is64)
            elf_error(m, "error: memory allocation error for 64-bit section headers: %d bytes\n", static_cast<int>(bytes));
        else
            elf_error(m, "error: memory allocation error for 32-bit section headers: %d bytes\n", static_cast<int>(bytes));
        return false;
    }
    const std::size_t got = std::fread(raw.get(), 1, bytes, ctx.stream);
    if (got != bytes) {
        elf_error(m, "error: failed to read %d bytes for %d headers\n", static_cast<int>(bytes), int{ctx.shnum});
        return true;
    }
    const bool big = ctx.ident[5] != 1;
    for (std::size_t i = 0; i < ctx.shnum; ++i)
        ctx.sections[i] = decode_section_header(FieldReader{raw.get() + i * entry_size, big}, is64);
    return true;
}

// Copies every section's name out of the section-name table. A name offset
// outside the table gives an empty name, and a name ends at the table's end
// at the latest: no byte outside the table is read.
bool read_section_names(ElfContext& ctx) noexcept {
    const ElfMessages m = ctx.messages;
    const ElfSectionHeader& strtab = ctx.sections[ctx.shstrndx];
    const auto table_size = static_cast<std::size_t>(strtab.size);   // checked against the file size
    ctx.names.reset(new (std::nothrow) std::unique_ptr<char[]>[ctx.shnum]);
    if (!ctx.names) {
        elf_error(m, "error: memory allocation error: %lu bytes\n", static_cast<unsigned long>(ctx.shnum) * 8UL);
        return false;
    }
    std::unique_ptr<char[]> table(new (std::nothrow) char[table_size]);
    if (!table) {
        elf_error(m, "error: memmory allocation error for string_table: %lu bytes\n", static_cast<unsigned long>(table_size));
        return false;
    }
    if (seek_to(ctx.stream, strtab.offset) != 0) {
        elf_error(m, "error: fseek failed:%s\n", error_text(errno));
        return false;
    }
    const std::size_t got = std::fread(table.get(), 1, table_size, ctx.stream);
    if (got != table_size) {
        elf_error(m, "error: failed to read %lu bytes, got %lu bytes\n", static_cast<unsigned long>(table_size),
                  static_cast<unsigned long>(got));
        return false;
    }
    for (std::size_t i = 0; i < ctx.shnum; ++i) {
        const std::uint32_t at = ctx.sections[i].name;
        const std::size_t length = at < table_size ? strnlen(table.get() + at, table_size - at) : 0;
        ctx.names[i].reset(new (std::nothrow) char[length + 1]);
        if (!ctx.names[i]) {
            elf_error(m, "error: memory allocation error for string: %d bytes\n", static_cast<int>(length + 1));
            return false;
        }
        if (length > 0)
            std::memcpy(ctx.names[i].get(), table.get() + at, length);
        ctx.names[i][length] = '\0';
    }
    return true;
}

// A name beside the output in the same directory, so the final rename
// replaces the output in one step.
std::string temporary_name(const char* output_path) {
    static std::atomic<unsigned> counter{0};
    return std::string(output_path) + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

}  // namespace

std::int64_t elf_file_size(ElfContext* ctx) noexcept {
    if (ctx == nullptr || ctx->stream == nullptr) {
        elf_error(ctx != nullptr ? ctx->messages : ElfMessages::logged,
                  "KvHelper: kv_get_file_size() - Invalid context.\n");
        return -1;
    }
    const off_t position = ftello(ctx->stream);
    if (position < 0 || fseeko(ctx->stream, 0, SEEK_END) != 0) {
        elf_error(ctx->messages, "KvHelper: Failed to seek end of file.\n");
        return -1;
    }
    const off_t size = ftello(ctx->stream);
    if (fseeko(ctx->stream, position, SEEK_SET) != 0) {
        elf_error(ctx->messages, "KvHelper: Failed to restore back to original file position.\n");
        return -1;
    }
    return size;
}

ElfContext* elf_open(const char* path, bool writable, ElfMessages messages) noexcept {
    const ElfMessages m = messages;
    if (path == nullptr) {
        elf_error(m, "error: missing filename\n");
        return nullptr;
    }
    FILE* stream = fopen_retrying(path, writable ? "r+e" : "re");
    if (stream == nullptr) {
        elf_error(m, "error: failed to open file:%s:%s\n", path, error_text(errno));
        return nullptr;
    }
    ContextPtr ctx(new (std::nothrow) ElfContext{});
    if (!ctx) {
        file_close(stream);
        return nullptr;
    }
    ctx->stream = stream;
    ctx->messages = messages;
    ctx->file_size = elf_file_size(ctx.get());
    if (ctx->file_size <= 0) {
        elf_error(m, "error: failed to get file size for: %s\n", path);
        return nullptr;
    }
    const std::size_t got = std::fread(ctx->ident, 1, kElfIdentSize, stream);
    if (got != kElfIdentSize) {
        elf_error(m, "error: failed to read %lu bytes: got %lu bytes\n", static_cast<unsigned long>(kElfIdentSize),
                  static_cast<unsigned long>(got));
        return nullptr;
    }
    if (std::memcmp(ctx->ident, "\x7f" "ELF", 4) != 0) {
        elf_error(m, "error: wrong elf magic\n");
        return nullptr;
    }
    if (ctx->ident[5] == 0) {
        elf_error(m, "error: wrong elf data encoding\n");
        return nullptr;
    }
    const unsigned char elf_class = ctx->ident[4];
    if (elf_class != 1 && elf_class != 2) {
        elf_error(m, "error: unknown class\n");
        return nullptr;
    }
    const bool is64 = elf_class == 2;
    unsigned char header[kElf64HeaderSize - kElfIdentSize];
    const std::size_t rest = (is64 ? kElf64HeaderSize : kElf32HeaderSize) - kElfIdentSize;
    if (std::fread(header, 1, rest, stream) != rest) {
        elf_error(m, is64 ? "error: failed to read 64-bit elf header\n" : "error: failed to read 32-bit elf header\n");
        return nullptr;
    }
    decode_file_header(*ctx, FieldReader{header, ctx->ident[5] != 1}, is64);
    if (ctx->shnum == 0) {
        elf_error(m, "error: no section entries\n");
        return nullptr;
    }
    if (ctx->shstrndx >= ctx->shnum) {
        elf_error(m, "error: invalid string section index\n");
        return nullptr;
    }
    if (!read_section_table(*ctx, is64)) {
        elf_error(m, "error: failed to read section headers\n");
        return nullptr;
    }
    const ElfSectionHeader& strtab = ctx->sections[ctx->shstrndx];
    if (strtab.size == 0 || !section_in_file(*ctx, strtab)) {
        elf_error(m, "error: section header data is invalid: sh_size=%d, sh_offset=0x%X, filesize=%lu\n",
                  static_cast<int>(strtab.size), static_cast<unsigned>(strtab.offset),
                  static_cast<unsigned long>(ctx->file_size));
        return nullptr;
    }
    if (!read_section_names(*ctx))
        return nullptr;
    return ctx.release();
}

void elf_close(ElfContext* ctx) noexcept {
    if (ctx == nullptr)
        return;
    if (ctx->stream != nullptr)
        file_close(ctx->stream);
    delete ctx;
}

const ElfSectionHeader* elf_find_section(const ElfContext& ctx, const char* name) noexcept {
    if (name == nullptr || !ctx.names)
        return nullptr;
    for (std::size_t i = 0; i < ctx.shnum; ++i) {
        if (std::strcmp(ctx.names[i].get(), name) == 0)
            return &ctx.sections[i];
    }
    return nullptr;
}

int elf_section_location(const ElfContext& ctx, const char* name, std::uint64_t* ret_offset,
                         std::uint64_t* ret_size) noexcept {
    const ElfSectionHeader* h = elf_find_section(ctx, name);
    if (h == nullptr)
        return -1;
    if (ret_offset != nullptr)
        *ret_offset = h->offset;
    if (ret_size != nullptr)
        *ret_size = h->size;
    return 0;
}

std::int64_t elf_read_section(ElfContext& ctx, const char* name, char** ret_data) noexcept {
    const ElfSectionHeader* h = elf_find_section(ctx, name);
    if (h == nullptr)
        return -1;
    if (ret_data == nullptr)
        return 0;
    if (!section_in_file(ctx, *h)) {
        log_invalid_offset(ctx, *h);
        return -1;
    }
    if (seek_to(ctx.stream, h->offset) != 0) {
        elf_error(ctx.messages, "error: fseek failed: %s\n", error_text(errno));
        return -1;
    }
    const auto size = static_cast<std::size_t>(h->size);
    auto* data = static_cast<char*>(std::malloc(size + 1));
    if (data == nullptr) {
        elf_error(ctx.messages, "error: memory allocation failed for " KV_ELF_U64 " bytes\n",
                  static_cast<LogU64>(h->size + 1));
        return -1;
    }
    data[size] = '\0';
    const std::size_t got = std::fread(data, 1, size, ctx.stream);
    if (got != size) {
        elf_error(ctx.messages, "error: failed to read " KV_ELF_U64 " bytes, got " KV_ELF_I64 " bytes\n",
                  static_cast<LogU64>(size), static_cast<LogI64>(got));
        std::free(data);
        return -1;
    }
    *ret_data = data;
    return static_cast<std::int64_t>(size);
}

int elf_read_section_part(ElfContext& ctx, const ElfSectionHeader& h, std::uint64_t offset, void* buffer,
                          std::size_t length) noexcept {
    if (!section_in_file(ctx, h) || offset > h.size || length > h.size - offset) {
        log_invalid_offset(ctx, h);
        return -1;
    }
    if (seek_to(ctx.stream, h.offset + offset) != 0) {
        elf_error(ctx.messages, "error: fseek failed: %s\n", error_text(errno));
        return -1;
    }
    const std::size_t got = std::fread(buffer, 1, length, ctx.stream);
    if (got != length) {
        elf_error(ctx.messages, "error: failed to read " KV_ELF_U64 " bytes, got " KV_ELF_I64 " bytes\n",
                  static_cast<LogU64>(length), static_cast<LogI64>(got));
        return -1;
    }
    return 0;
}

std::int64_t elf_extract_section(ElfContext& ctx, const char* name, const char* output_path) noexcept {
    const ElfMessages m = ctx.messages;
    // Looked up before the output is touched: a missing section leaves an
    // existing output as it was.
    const ElfSectionHeader* h = elf_find_section(ctx, name);
    if (h == nullptr || output_path == nullptr)
        return -1;
    if (!section_in_file(ctx, *h)) {
        log_invalid_offset(ctx, *h);
        return -1;
    }
    const std::string temporary = temporary_name(output_path);
    kv::UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out) {
        elf_error(m, "error: failed to open file: %s :%s\n", output_path, error_text(errno));
        return -1;
    }
    std::uint64_t copied = 0;
    if (seek_to(ctx.stream, h->offset) != 0) {
        elf_error(m, "error: fseek failed: %s\n", error_text(errno));
    } else {
        char piece[1024];
        while (copied < h->size) {
            const std::size_t want = h->size - copied < sizeof piece ? static_cast<std::size_t>(h->size - copied)
                                                                     : sizeof piece;
            const std::size_t got = std::fread(piece, 1, want, ctx.stream);
            if (got == 0)
                break;
            std::size_t written = 0;
            while (written < got) {
                const ssize_t w = ::write(out.get(), piece + written, got - written);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    break;
                written += static_cast<std::size_t>(w);
            }
            copied += written;
            if (written < got) {
                elf_error(m, "error: failed to write %d bytes to file\n", static_cast<int>(got - written));
                break;
            }
        }
    }
    const int closed = ::close(out.release());
    if (copied != h->size || closed != 0) {
        elf_error(m, "error: write failed: expected bytes:" KV_ELF_U64 " written bytes:" KV_ELF_I64 "\n",
                  static_cast<LogU64>(h->size), static_cast<LogI64>(closed == 0 ? copied : 0));
        (void)::unlink(temporary.c_str());
        return -1;
    }
    if (::rename(temporary.c_str(), output_path) != 0) {
        elf_error(m, "error: failed to open file: %s :%s\n", output_path, error_text(errno));
        (void)::unlink(temporary.c_str());
        return -1;
    }
    return static_cast<std::int64_t>(copied);
}

std::int64_t elf_update_section(ElfContext& ctx, const char* name, const void* data, std::int64_t length) noexcept {
    const ElfMessages m = ctx.messages;
    if (name == nullptr || data == nullptr || length <= 0)
        return -1;
    const ElfSectionHeader* h = elf_find_section(ctx, name);
    if (h == nullptr) {
        elf_error(m, "error: failed to get offset for section: %s\n", name);
        return -1;
    }
    if (static_cast<std::uint64_t>(length) != h->size) {
        elf_error(m, "error: data length(" KV_ELF_I64 ") is not the same as section size(" KV_ELF_I64 ")\n",
                  static_cast<LogI64>(length), static_cast<LogI64>(h->size));
        return -1;
    }
    if (!section_in_file(ctx, *h)) {
        log_invalid_offset(ctx, *h);
        return -1;
    }
    // The new bytes are written straight to the descriptor, so a failure (a
    // full disk) is seen here rather than by a later flush.
    if (seek_to(ctx.stream, h->offset) != 0) {
        elf_error(m, "error: fseek failed: %s\n", error_text(errno));
        return -1;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto total = static_cast<std::size_t>(length);
    std::size_t done = 0;
    while (done < total) {
        const ssize_t w = ::pwrite(fileno(ctx.stream), bytes + done, total - done,
                                   static_cast<off_t>(h->offset + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += static_cast<std::size_t>(w);
    }
    // Whatever stdio read ahead of these bytes is stale now.
    (void)std::fflush(ctx.stream);
    if (done != total) {
        elf_error(m, "error: write failed: expected bytes:" KV_ELF_U64 " written bytes:" KV_ELF_I64 "\n",
                  static_cast<LogU64>(total), static_cast<LogI64>(done));
        return -1;
    }
    return length;
}

}  // namespace kv::helper
