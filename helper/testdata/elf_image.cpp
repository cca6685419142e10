// ELF image builder for tests: header | section data | name table | section
// headers, with the data placed at ElfSpec::data_start.
#include "elf_image.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv::test {
namespace {

void put(std::string& out, std::size_t at, std::uint64_t value, std::size_t width, bool big) {
    if (out.size() < at + width)
        out.resize(at + width, '\0');
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t k = big ? width - 1 - i : i;
        out[at + k] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

struct Layout {
    std::string header;        // at offset 0
    std::string tail;          // at data_start
    std::uint64_t data_start = 0;
    std::uint64_t file_size = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> holes;   // (offset, size) inside the tail
};

Layout lay_out(const ElfSpec& spec) {
    const bool b = spec.big_endian, w64 = spec.is64;
    const std::size_t header_size = w64 ? 64 : 52, sh_size = w64 ? 64 : 40, a = w64 ? 8 : 4;
    Layout l;
    l.data_start = spec.data_start != 0 ? spec.data_start : header_size;

    std::vector<ElfSectionSpec> all;
    all.push_back(ElfSectionSpec{"", "", 0});
    all.back().offset = 0;
    all.insert(all.end(), spec.sections.begin(), spec.sections.end());
    std::string names(1, '\0');
    std::vector<std::uint32_t> name_at(all.size() + 1, 0);
    for (std::size_t i = 1; i < all.size(); ++i) {
        name_at[i] = static_cast<std::uint32_t>(names.size());
        names += all[i].name;
        names.push_back('\0');
    }
    name_at[all.size()] = static_cast<std::uint32_t>(names.size());
    names += ".shstrtab";
    names.push_back('\0');
    ElfSectionSpec strtab{".shstrtab", spec.shstrtab.value_or(names), 3};
    all.push_back(strtab);

    std::vector<std::uint64_t> data_at(all.size(), 0);
    for (std::size_t i = 1; i < all.size(); ++i) {
        data_at[i] = l.data_start + l.tail.size();
        if (all[i].hole) {
            l.holes.emplace_back(l.tail.size(), all[i].data.size());
            l.tail.append(all[i].data.size(), '\0');
        } else {
            l.tail += all[i].data;
        }
    }
    while (l.tail.size() % 8 != 0)
        l.tail.push_back('\0');
    const std::uint64_t shoff = l.data_start + l.tail.size();
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::string h(sh_size, '\0');
        const ElfSectionSpec& s = all[i];
        put(h, 0, s.name_offset.value_or(name_at[i]), 4, b);
        put(h, 4, s.type, 4, b);
        put(h, 8 + 2 * a, s.offset.value_or(i == 0 ? 0 : data_at[i]), a, b);
        put(h, 8 + 3 * a, s.size.value_or(s.data.size()), a, b);
        put(h, 16 + 4 * a, 1, a, b);
        l.tail += h;
    }
    l.file_size = l.data_start + l.tail.size();

    std::string& e = l.header;
    e.assign(header_size, '\0');
    std::memcpy(e.data(), "\x7f" "ELF", 4);
    e[4] = w64 ? 2 : 1;
    e[5] = b ? 2 : 1;
    e[6] = 1;
    put(e, 16, 2, 2, b);                             // ET_EXEC
    put(e, 18, spec.machine, 2, b);
    put(e, 20, 1, 4, b);
    put(e, 24 + 2 * a, spec.shoff.value_or(shoff), a, b);
    const std::size_t at = 24 + 3 * a;
    put(e, at + 4, header_size, 2, b);
    put(e, at + 10, sh_size, 2, b);
    put(e, at + 12, spec.shnum.value_or(static_cast<std::uint16_t>(all.size())), 2, b);
    put(e, at + 14, spec.shstrndx.value_or(static_cast<std::uint16_t>(all.size() - 1)), 2, b);
    return l;
}

int write_all(int fd, const char* p, std::size_t n, std::uint64_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(at));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -errno;
        p += w;
        n -= static_cast<std::size_t>(w);
        at += static_cast<std::uint64_t>(w);
    }
    return 0;
}

}  // namespace

std::string elf_bytes(const ElfSpec& spec) {
    const Layout l = lay_out(spec);
    std::string out = l.header;
    out.resize(l.data_start, '\0');
    out += l.tail;
    return out;
}

int write_elf(const std::string& path, const ElfSpec& spec) {
    const Layout l = lay_out(spec);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    int r = write_all(fd, l.header.data(), l.header.size(), 0);
    std::size_t from = 0;
    for (const auto& [hole_at, hole_size] : l.holes) {
        if (r == 0)
            r = write_all(fd, l.tail.data() + from, hole_at - from, l.data_start + from);
        from = hole_at + hole_size;
    }
    if (r == 0)
        r = write_all(fd, l.tail.data() + from, l.tail.size() - from, l.data_start + from);
    if (r == 0 && ::ftruncate(fd, static_cast<off_t>(l.file_size)) != 0)
        r = -errno;
    ::close(fd);
    return r;
}

ElfSpec versioned_elf(const std::string& version, bool is64, std::uint16_t machine) {
    ElfSpec spec;
    spec.is64 = is64;
    spec.machine = machine;
    spec.sections = {
        ElfSectionSpec{".text", std::string(64, '\x90')},
        ElfSectionSpec{".rodata", "constant data"},
        ElfSectionSpec{"__version", version},
        ElfSectionSpec{".comment", "built by the tests"},
    };
    return spec;
}

}  // namespace kv::test
