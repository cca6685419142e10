// Update notices that the updater leaves in
// /opt/korvane/desktop/download/status: the newest "*.kvupupdate" file,
// Base64 text of an AES-256-CBC ciphertext under a key that changes daily.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::svc {

inline constexpr char kUpdateNoticeDir[] = "/opt/korvane/desktop/download/status";
inline constexpr char kUpdateNoticeSuffix[] = ".kvupupdate";
// Bytes of framing around the notice text in the plaintext.
inline constexpr std::size_t kNoticeLeadingBytes = 2;
inline constexpr std::size_t kNoticeTrailingBytes = 3;

// The cipher constants shared with the updater that writes the notices.
extern const std::uint8_t kUpdateNoticeKeyBase[32];
extern const std::uint8_t kUpdateNoticeIv[16];

// The key of the given local date: the base key with byte day_of_month set
// to day_of_year % 255, then byte 4 * (day_of_week % 7) set to
// (day_of_week % 7) * day_of_month % 256 (Monday = 1 … Sunday = 7).
void update_notice_key(int day_of_month, int day_of_year, int day_of_week, std::uint8_t (&ret_key)[32]) noexcept;
// The key of today's local date.
void update_notice_key_today(std::uint8_t (&ret_key)[32]) noexcept;

// The name of the notice to read in `dir`: the greatest name ending in
// ".kvupupdate" that compares greater than "0"; "" when there is none.
std::string choose_update_notice(const char* dir);

// Decodes and decrypts one notice file's text into its notice text (valid
// UTF-8). 0, or -EINVAL when it is no notice under `key`.
int decode_update_notice(const std::string& base64_text, const std::uint8_t (&key)[32], std::string* ret_text);

// The inverse, for the updater side and tests: frames `text` (two leading
// and three trailing bytes), encrypts it under `key` and returns the Base64
// text of a notice file. Empty on failure.
std::string encode_update_notice(const std::string& text, const std::uint8_t (&key)[32]);

// The current notice of kUpdateNoticeDir under today's key. 0, -ENOENT when
// there is none, -EINVAL when it cannot be read as a notice.
int read_update_notice(std::string* ret_text);

}  // namespace kv::svc
