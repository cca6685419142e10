// Differential tests against reference disassemblers. First, the .text of the
// machine's x86-64 and i386 libc.so.6, walked in linear sweep, decoded by
// x86_decode and by capstone side by side (objdump where capstone 4 knows no
// encoding): lengths must agree wherever both decode, the decoder's refusals
// are counted and bounded, and relative-branch targets, RIP-relative operands
// and the end of control flow are checked against capstone's text. Second,
// random bytes biased towards every opcode map, compared with objdump.
#include "x86_decoder.hpp"

#include <capstone/capstone.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace kv::md {
namespace {

constexpr char kLibc64[] = "/lib/x86_64-linux-gnu/libc.so.6";
constexpr char kLibc32[] = "/lib/i386-linux-gnu/libc.so.6";
constexpr char kObjdump[] = "/usr/bin/objdump";
constexpr char kAwk[] = "/usr/bin/awk";
constexpr char kAssembler[] = "/usr/bin/as";

struct TextSection {
    std::vector<std::uint8_t> bytes;
    std::uint64_t address = 0;
};

std::vector<std::uint8_t> read_file(const char* path) {
    std::vector<std::uint8_t> data;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        data.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = read(fd, data.data() + got, data.size() - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
    }
    (void)close(fd);
    return data;
}

// Finds ".text" through the section headers and the section-name table,
// checking every offset against the file size.
template <class Ehdr, class Shdr>
bool find_text(const std::vector<std::uint8_t>& file, TextSection& ret_text) {
    Ehdr eh;
    if (file.size() < sizeof eh)
        return false;
    std::memcpy(&eh, file.data(), sizeof eh);
    if (eh.e_shentsize != sizeof(Shdr) || eh.e_shoff == 0 || eh.e_shstrndx >= eh.e_shnum ||
        eh.e_shoff > file.size() || (file.size() - eh.e_shoff) / sizeof(Shdr) < eh.e_shnum)
        return false;
    auto section = [&](std::size_t i) {
        Shdr sh;
        std::memcpy(&sh, file.data() + eh.e_shoff + i * sizeof(Shdr), sizeof sh);
        return sh;
    };
    const Shdr names = section(eh.e_shstrndx);
    for (std::size_t i = 0; i < eh.e_shnum; ++i) {
        const Shdr sh = section(i);
        if (sh.sh_name >= names.sh_size || names.sh_offset + sh.sh_name + sizeof ".text" > file.size())
            continue;
        if (std::memcmp(file.data() + names.sh_offset + sh.sh_name, ".text", sizeof ".text") != 0)
            continue;
        if (sh.sh_type != SHT_PROGBITS || sh.sh_offset > file.size() || file.size() - sh.sh_offset < sh.sh_size)
            return false;
        ret_text.bytes.assign(file.begin() + static_cast<std::ptrdiff_t>(sh.sh_offset),
                              file.begin() + static_cast<std::ptrdiff_t>(sh.sh_offset + sh.sh_size));
        ret_text.address = sh.sh_addr;
        return true;
    }
    return false;
}

bool read_text_section(const char* path, int elf_class, TextSection& ret_text) {
    const std::vector<std::uint8_t> file = read_file(path);
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 || file[EI_CLASS] != elf_class ||
        file[EI_DATA] != ELFDATA2LSB)
        return false;
    return elf_class == ELFCLASS64 ? find_text<Elf64_Ehdr, Elf64_Shdr>(file, ret_text)
                                   : find_text<Elf32_Ehdr, Elf32_Shdr>(file, ret_text);
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char t[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "%02x ", p[i]);
        s += t;
    }
    return s;
}

// Capstone's mnemonic without the prefix words it prints in front.
std::string base_mnemonic(const char* mnemonic) {
    std::string m = mnemonic;
    for (const char* word : {"bnd ", "notrack ", "rep ", "repz ", "repe ", "repne ", "repnz ", "lock "})
        while (m.rfind(word, 0) == 0)
            m.erase(0, std::strlen(word));
    return m;
}

bool is_relative_branch_mnemonic(const std::string& m) {
    return m[0] == 'j' || m == "call" || m.rfind("loop", 0) == 0 || m == "xbegin";
}

bool reference_ends_flow(const std::string& m) {
    for (const char* e : {"ret", "retf", "retfq", "iret", "iretd", "iretq", "jmp", "ljmp", "ud2", "ud1", "int3",
                          "hlt", "sysret", "sysretq", "sysexit"})
        if (m == e)
            return true;
    return false;
}

// Instruction starts and lengths from objdump's disassembly of the same
// section: the second reference, for the encodings capstone 4 lacks (AVX-512
// mask moves and byte/word compares among them). With --insn-width=16 each
// instruction is one line "address:<TAB>bytes<TAB>text"; awk reduces that to
// "address: byte-count" (leaving out "(bad)"). The output is read as a stream
// while objdump still runs, since the sweep asks for rising addresses only.
class ObjdumpLengths {
public:
    explicit ObjdumpLengths(const char* path) {
        const std::string command = std::string(kObjdump) + " -d -j .text --insn-width=16 " + path + " | " + kAwk +
                                    " -F'\t' 'NF >= 3 && $3 !~ /^\\(bad\\)/ { print $1, split($2, b, \" \") }'";
        pipe_ = popen(command.c_str(), "r");
        (void)advance();
    }
    ~ObjdumpLengths() {
        if (pipe_ != nullptr)
            (void)pclose(pipe_);
    }
    ObjdumpLengths(const ObjdumpLengths&) = delete;
    ObjdumpLengths& operator=(const ObjdumpLengths&) = delete;

    bool started() const { return lines_ != 0; }

    // objdump's length of the instruction starting at `address`, or 0.
    unsigned length_at(std::uint64_t address) {
        while (address_ < address && advance()) {
        }
        return address_ == address ? length_ : 0;
    }

private:
    bool advance() {
        char line[64];
        while (pipe_ != nullptr && std::fgets(line, sizeof line, pipe_) != nullptr) {
            char* end = nullptr;
            const std::uint64_t address = std::strtoull(line, &end, 16);
            const unsigned long count = end != line && *end == ':' ? std::strtoul(end + 1, nullptr, 10) : 0;
            if (count >= 1 && count <= 15) {
                address_ = address;
                length_ = static_cast<unsigned>(count);
                ++lines_;
                return true;
            }
        }
        address_ = ~std::uint64_t{0};
        return false;
    }

    FILE* pipe_ = nullptr;
    std::uint64_t address_ = 0;
    unsigned length_ = 0;
    std::size_t lines_ = 0;
};

struct SweepReport {
    std::size_t compared = 0;           // instructions capstone decoded
    std::size_t wrong_length = 0;       // both decoded, lengths differ
    std::size_t wrong_class = 0;        // branch target, RIP-relative or end of flow differs
    std::size_t unknown = 0;            // a reference decoded, we refused
    std::size_t second_compared = 0;    // capstone failed, objdump decoded: compared with objdump
    std::size_t reference_failed = 0;   // offsets neither reference decodes (padding, data)
    std::size_t decoded_alone = 0;      // ... of which we decoded
    std::map<std::string, std::size_t> unknown_forms;   // first bytes of each refused form
    std::map<std::string, std::size_t> alone_forms;     // what we decoded where no reference did
    std::vector<std::string> failures;
};

void note(std::vector<std::string>& list, const std::string& s) {
    if (list.size() < 20)
        list.push_back(s);
}

// Classification against capstone's text: a direct branch prints its target
// as the only operand, a RIP-relative operand prints "rip".
bool classification_matches(const X86Insn& insn, const cs_insn& ref) {
    const std::string m = base_mnemonic(ref.mnemonic);
    const bool ref_direct = is_relative_branch_mnemonic(m) && std::strncmp(ref.op_str, "0x", 2) == 0;
    char* end = nullptr;
    const std::uint64_t ref_target = ref_direct ? std::strtoull(ref.op_str, &end, 16) : 0;
    const bool branch_ok = ref_direct ? (insn.branch != X86Branch::none && *end == '\0' && insn.target == ref_target)
                                      : insn.branch == X86Branch::none;
    const bool rip_ok = ((insn.flags & kX86RipRelative) != 0) == (std::strstr(ref.op_str, "rip") != nullptr);
    const bool flow_ok = ((insn.flags & kX86EndsFlow) != 0) == reference_ends_flow(m);
    return branch_ok && rip_ok && flow_ok;
}

// Linear sweep resynchronised on the references: both decoders start at the
// same offset and the walk steps by capstone's length, so one disagreement
// cannot shift every later comparison. Where capstone decodes nothing the
// walk steps by objdump's length if objdump has an instruction there (an
// encoding capstone lacks), else by one byte (padding or data): the smallest
// step, which never jumps over the start of a real instruction.
SweepReport sweep(const TextSection& text, X86Mode mode, ObjdumpLengths& second) {
    SweepReport r;
    csh handle = 0;
    if (cs_open(CS_ARCH_X86, mode == X86Mode::bits64 ? CS_MODE_64 : CS_MODE_32, &handle) != CS_ERR_OK) {
        r.failures.push_back("cs_open failed");
        return r;
    }
    cs_insn* ref = cs_malloc(handle);
    const std::uint8_t* const begin = text.bytes.data();
    const std::size_t size = text.bytes.size();
    std::size_t off = 0;
    while (off < size) {
        const std::uint8_t* p = begin + off;
        const std::uint64_t address = text.address + off;
        const std::uint8_t* cp = p;
        std::size_t csize = size - off;
        std::uint64_t caddress = address;
        const bool ref_ok = cs_disasm_iter(handle, &cp, &csize, &caddress, ref);
        X86Insn insn{};
        const bool ok = x86_decode(p, size - off, address, mode, &insn) == 0;
        std::size_t ref_length = ref_ok ? ref->size : 0;
        if (!ref_ok) {
            const unsigned length = second.length_at(address);
            if (length != 0 && length <= size - off) {
                ref_length = length;
                ++r.second_compared;
            }
        } else {
            ++r.compared;
        }
        if (ref_length == 0) {
            ++r.reference_failed;
            if (ok) {
                ++r.decoded_alone;
                ++r.alone_forms[hex(p, insn.length)];
            }
            ++off;
            continue;
        }
        auto shown = [&] {
            return hex(p, ref_length) + (ref_ok ? std::string("(") + ref->mnemonic + " " + ref->op_str + ")"
                                                : std::string("(objdump)"));
        };
        if (!ok) {
            ++r.unknown;
            ++r.unknown_forms[hex(p, ref_length < 4 ? ref_length : 4) + (ref_ok ? ref->mnemonic : "(objdump)")];
        } else if (insn.length != ref_length) {
            ++r.wrong_length;
            note(r.failures, "length " + std::to_string(insn.length) + ": " + shown());
        } else if (ref_ok && !classification_matches(insn, *ref)) {
            ++r.wrong_class;
            char why[96];
            std::snprintf(why, sizeof why, "class (branch %d target 0x%" PRIx64 " flags %#x): ",
                          static_cast<int>(insn.branch), insn.target, insn.flags);
            note(r.failures, why + shown());
        }
        off += ref_length;
    }
    cs_free(ref, 1);
    (void)cs_close(&handle);
    return r;
}

void check_libc(const char* path, int elf_class, X86Mode mode) {
    TextSection text;
    ASSERT_TRUE(read_text_section(path, elf_class, text)) << path;
    ASSERT_GT(text.bytes.size(), 100000u) << path;
    ObjdumpLengths second(path);
    ASSERT_TRUE(second.started()) << kObjdump << " gave no disassembly of " << path;
    const SweepReport r = sweep(text, mode, second);
    const std::size_t total = r.compared + r.second_compared;
    std::printf("%s: .text %zu bytes at 0x%" PRIx64 ": %zu instructions compared with capstone, %zu more with "
                "objdump; %zu wrong lengths, %zu misclassified, %zu unknown (%.4f %%); %zu offsets no reference "
                "decodes (%zu of them decoded here)\n",
                path, text.bytes.size(), text.address, r.compared, r.second_compared, r.wrong_length, r.wrong_class,
                r.unknown, total ? 100.0 * static_cast<double>(r.unknown) / static_cast<double>(total) : 0.0,
                r.reference_failed, r.decoded_alone);
    for (const auto& [form, count] : r.unknown_forms)
        std::printf("  unknown %6zu x %s\n", count, form.c_str());
    for (const auto& [form, count] : r.alone_forms)
        std::printf("  decoded alone %6zu x %s\n", count, form.c_str());
    for (const std::string& f : r.failures)
        ADD_FAILURE() << f;
    EXPECT_GT(r.compared, text.bytes.size() / 8);   // the sweep really walked the section
    EXPECT_EQ(r.wrong_length, 0u);
    EXPECT_EQ(r.wrong_class, 0u);
    EXPECT_LT(r.unknown * 1000, total) << "more than 0.1 % refused";
    // Offsets no reference decodes are padding and data; the decoder must
    // refuse nearly all of them too rather than give them a length.
    EXPECT_LT(r.decoded_alone * 1000, total) << "decoded too much that no reference decodes";
}

TEST(X86DecoderLibc, X86_64TextMatchesCapstone) {
    check_libc(kLibc64, ELFCLASS64, X86Mode::bits64);
}

TEST(X86DecoderLibc, I386TextMatchesCapstone) {
    check_libc(kLibc32, ELFCLASS32, X86Mode::bits32);
}

// Random instructions: 16-byte slots starting with a prefix or escape chosen
// to reach every map (or none), the rest random, from a fixed seed.
struct Slot {
    std::uint8_t bytes[16];
};

std::vector<Slot> random_slots(std::size_t count, std::uint32_t seed) {
    static const std::vector<std::vector<std::uint8_t>> kHeads = {
        {}, {0x0F}, {0x66, 0x0F}, {0xF3, 0x0F}, {0xF2, 0x0F}, {0x0F, 0x38}, {0x66, 0x0F, 0x38}, {0x0F, 0x3A},
        {0x66, 0x0F, 0x3A}, {0xC5}, {0xC4}, {0x62}, {0x48}, {0x67}, {0xF0}, {0x66},
    };
    std::mt19937 rng(seed);
    std::vector<Slot> slots(count);
    for (Slot& slot : slots) {
        const auto& head = kHeads[rng() % kHeads.size()];
        for (std::size_t i = 0; i < sizeof slot.bytes; ++i)
            slot.bytes[i] = i < head.size() ? head[i] : static_cast<std::uint8_t>(rng());
    }
    return slots;
}

bool is_prefix_name(const std::string& word) {
    for (const char* p : {"data16", "addr32", "addr16", "data32", "lock", "rep", "repz", "repnz", "repe", "repne", "cs",
                          "ds", "es", "fs", "gs", "ss", "bnd", "notrack", "xacquire", "xrelease"})
        if (word == p)
            return true;
    return word.rfind("rex", 0) == 0;
}

constexpr int kBad = 0;          // objdump: "(bad)"
constexpr int kLonePrefix = -1;  // objdump printed prefixes on their own line: nothing to compare

// objdump restarts decoding at every symbol, so each slot gets a label and the
// first line after it is objdump's decoding of the slot. Returns one entry per
// slot: the length, kBad or kLonePrefix; empty when the tools failed.
std::vector<int> objdump_first_lengths(const std::vector<Slot>& slots, X86Mode mode) {
    std::vector<int> lengths;
    char dir[] = "/tmp/x86dec-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return lengths;
    const std::string source = std::string(dir) + "/slots.s", object = std::string(dir) + "/slots.o";
    if (FILE* f = std::fopen(source.c_str(), "w")) {
        std::fprintf(f, ".text\n");
        for (std::size_t i = 0; i < slots.size(); ++i) {
            std::fprintf(f, "s%zu:\n.byte ", i);
            for (std::size_t j = 0; j < sizeof slots[i].bytes; ++j)
                std::fprintf(f, "%s%u", j ? "," : "", slots[i].bytes[j]);
            std::fprintf(f, "\n");
        }
        (void)std::fclose(f);
    }
    const std::string assemble = std::string(kAssembler) + (mode == X86Mode::bits64 ? " --64" : " --32") + " -o " +
                                 object + " " + source;
    if (std::system(assemble.c_str()) == 0) {
        const std::string command = std::string(kObjdump) + " -d --insn-width=16 " + object;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            lengths.assign(slots.size(), kBad);
            std::vector<bool> seen(slots.size(), false);
            std::size_t current = slots.size();
            char line[512];
            while (std::fgets(line, sizeof line, pipe) != nullptr) {
                const char* label = std::strstr(line, " <s");
                if (label != nullptr && std::strstr(label, ">:") != nullptr) {
                    current = std::strtoul(label + 3, nullptr, 10);
                    continue;
                }
                char* end = nullptr;
                (void)std::strtoull(line, &end, 16);
                if (end == line || end[0] != ':' || end[1] != '\t' || current >= slots.size() || seen[current])
                    continue;
                seen[current] = true;
                const char* p = end + 2;
                int count = 0;
                while (std::isxdigit(static_cast<unsigned char>(p[0])) && p[2] == ' ') {
                    ++count;
                    p += 3;
                }
                while (*p == ' ')
                    ++p;
                std::string text = *p == '\t' ? p + 1 : "";
                text.erase(text.find_last_not_of(" \n") + 1);
                bool lone_prefix = !text.empty();
                for (std::size_t at = 0; at < text.size() && lone_prefix;) {
                    const std::size_t space = text.find(' ', at);
                    lone_prefix = is_prefix_name(text.substr(at, space - at));
                    at = space == std::string::npos ? text.size() : text.find_first_not_of(' ', space);
                }
                lengths[current] = text.find("(bad)") != std::string::npos ? kBad : lone_prefix ? kLonePrefix : count;
            }
            (void)pclose(pipe);
        }
    }
    (void)unlink(source.c_str());
    (void)unlink(object.c_str());
    (void)rmdir(dir);
    return lengths;
}

void check_random(X86Mode mode, std::uint32_t seed) {
    constexpr std::size_t kSlots = 20000;
    const std::vector<Slot> slots = random_slots(kSlots, seed);
    const std::vector<int> reference = objdump_first_lengths(slots, mode);
    ASSERT_EQ(reference.size(), kSlots) << kAssembler << " or " << kObjdump << " failed";
    std::size_t agree = 0, mismatch = 0, refused = 0, decoded_alone = 0, incomparable = 0;
    std::vector<std::string> failures;
    for (std::size_t i = 0; i < kSlots; ++i) {
        X86Insn insn{};
        const bool ok = x86_decode(slots[i].bytes, sizeof slots[i].bytes, 0, mode, &insn) == 0;
        // objdump folds fwait (9B) into the x87 instruction after it; the
        // processor executes it as an instruction of its own.
        if (reference[i] == kLonePrefix || (ok && insn.map == X86Map::one_byte && insn.opcode == 0x9B)) {
            ++incomparable;
        } else if (reference[i] == kBad) {
            decoded_alone += ok ? 1 : 0;
        } else if (!ok) {
            ++refused;
        } else if (insn.length == reference[i]) {
            ++agree;
        } else {
            ++mismatch;
            note(failures, "length " + std::to_string(insn.length) + ", objdump " + std::to_string(reference[i]) + ": " +
                               hex(slots[i].bytes, sizeof slots[i].bytes));
        }
    }
    std::printf("random %d-bit: %zu agree, %zu wrong lengths, %zu refused where objdump decodes, %zu decoded where "
                "objdump says (bad), %zu not comparable\n",
                static_cast<int>(mode), agree, mismatch, refused, decoded_alone, incomparable);
    for (const std::string& f : failures)
        ADD_FAILURE() << f;
    EXPECT_EQ(mismatch, 0u);
    EXPECT_GT(agree, kSlots / 3);
    // What is decoded beyond objdump is encodings whose VEX/EVEX operand
    // fields or SSE register/memory form are invalid: their length is sure,
    // but the share stays small.
    EXPECT_LT(decoded_alone * 100, kSlots * 3);
}

TEST(X86DecoderRandom, X86_64EncodingsMatchObjdump) {
    check_random(X86Mode::bits64, 64);
}

TEST(X86DecoderRandom, I386EncodingsMatchObjdump) {
    check_random(X86Mode::bits32, 32);
}

}  // namespace
}  // namespace kv::md
