// Update-notice reader: GLib for the directory, Base64, the local date and
// UTF-8; OpenSSL's EVP interface for AES-256-CBC.
#include "update_notice.hpp"

#include <glib.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host_cache.hpp"
#include "unique_handle.hpp"

namespace kv::svc {

// Shared with the updater; changing them orphans every notice it writes.
const std::uint8_t kUpdateNoticeKeyBase[32] = {
    0x4b, 0x76, 0x55, 0x70, 0x64, 0x2d, 0x4e, 0x6f, 0x74, 0x69, 0x63, 0x65, 0x3a, 0x9e, 0x31, 0xc7,
    0x5a, 0x08, 0xe4, 0x6d, 0xb2, 0x13, 0xf9, 0x27, 0x86, 0x4c, 0xd0, 0x3b, 0x71, 0xa5, 0x1f, 0xe8,
};
const std::uint8_t kUpdateNoticeIv[16] = {
    0x6b, 0x6f, 0x72, 0x76, 0x61, 0x6e, 0x65, 0x2d, 0x69, 0x76, 0x30, 0x31, 0xd4, 0x5e, 0x92, 0x0c,
};

namespace {

void cipher_free(EVP_CIPHER_CTX* c) noexcept { EVP_CIPHER_CTX_free(c); }
using CipherPtr = kv::UniquePtr<EVP_CIPHER_CTX, cipher_free>;

bool has_suffix(const char* name, const char* suffix) {
    const std::size_t n = std::strlen(name), s = std::strlen(suffix);
    return n >= s && std::memcmp(name + n - s, suffix, s) == 0;
}

}  // namespace

void update_notice_key(int day_of_month, int day_of_year, int day_of_week, std::uint8_t (&ret_key)[32]) noexcept {
    std::memcpy(ret_key, kUpdateNoticeKeyBase, sizeof ret_key);
    if (day_of_month >= 0 && day_of_month < 32)
        ret_key[day_of_month] = static_cast<std::uint8_t>(day_of_year % 255);
    const int weekday = day_of_week % 7;   // Sunday gives byte 0, value 0
    ret_key[4 * weekday] = static_cast<std::uint8_t>((weekday * day_of_month) % 256);
}

void update_notice_key_today(std::uint8_t (&ret_key)[32]) noexcept {
    GDateTime* now = g_date_time_new_now_local();
    update_notice_key(g_date_time_get_day_of_month(now), g_date_time_get_day_of_year(now),
                      g_date_time_get_day_of_week(now), ret_key);
    g_date_time_unref(now);
}

std::string choose_update_notice(const char* dir) {
    GDir* listing = g_dir_open(dir, 0, nullptr);
    if (listing == nullptr)
        return {};
    std::string chosen = "0";
    while (const gchar* name = g_dir_read_name(listing)) {
        if (has_suffix(name, kUpdateNoticeSuffix) && std::strcmp(name, chosen.c_str()) > 0)
            chosen = name;
    }
    g_dir_close(listing);
    return chosen == "0" ? std::string() : chosen;   // a file named "0" is no notice
}

int decode_update_notice(const std::string& base64_text, const std::uint8_t (&key)[32], std::string* ret_text) {
    gsize decoded_length = 0;
    guchar* decoded = g_base64_decode(base64_text.c_str(), &decoded_length);
    if (decoded == nullptr)
        return -EINVAL;
    std::vector<unsigned char> cipher(decoded, decoded + decoded_length);
    g_free(decoded);
    // Whole AES blocks only: anything shorter than one block is no notice.
    if (cipher.size() < 16 || cipher.size() % 16 != 0)
        return -EINVAL;
    CipherPtr ctx{EVP_CIPHER_CTX_new()};
    std::vector<unsigned char> plain(cipher.size() * 2);
    int n = 0, tail = 0;
    if (ctx == nullptr || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, kUpdateNoticeIv) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain.data(), &n, cipher.data(), static_cast<int>(cipher.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), plain.data() + n, &tail) != 1)
        return -EINVAL;
    const std::size_t length = static_cast<std::size_t>(n + tail);
    if (length < kNoticeLeadingBytes + kNoticeTrailingBytes)
        return -EINVAL;
    std::string text(reinterpret_cast<const char*>(plain.data()) + kNoticeLeadingBytes,
                     length - kNoticeLeadingBytes - kNoticeTrailingBytes);
    text.resize(std::strlen(text.c_str()));   // shown as a C string: ends at a NUL
    gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
    ret_text->assign(valid);
    g_free(valid);
    return 0;
}

std::string encode_update_notice(const std::string& text, const std::uint8_t (&key)[32]) {
    std::string plain = "N1" + text + "\r\n\0";
    plain.resize(kNoticeLeadingBytes + text.size() + kNoticeTrailingBytes);
    std::vector<unsigned char> cipher(plain.size() + 32);
    CipherPtr ctx{EVP_CIPHER_CTX_new()};
    int n = 0, tail = 0;
    if (ctx == nullptr || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, kUpdateNoticeIv) != 1 ||
        EVP_EncryptUpdate(ctx.get(), cipher.data(), &n, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), cipher.data() + n, &tail) != 1)
        return {};
    gchar* encoded = g_base64_encode(cipher.data(), static_cast<gsize>(n + tail));
    std::string out(encoded);
    g_free(encoded);
    return out;
}

int read_update_notice(std::string* ret_text) {
    struct stat st {};
    if (stat(kUpdateNoticeDir, &st) != 0 || !S_ISDIR(st.st_mode))
        return -ENOENT;
    const std::string name = choose_update_notice(kUpdateNoticeDir);
    if (name.empty())
        return -ENOENT;
    std::string text;
    if (read_whole_file((std::string(kUpdateNoticeDir) + "/" + name).c_str(), &text) < 0 || text.empty())
        return -ENOENT;
    std::uint8_t key[32];
    update_notice_key_today(key);
    const int r = decode_update_notice(text, key, ret_text);
    OPENSSL_cleanse(key, sizeof key);   // the key exists only while decrypting
    return r;
}

}  // namespace kv::svc
