// Login records and account lookups; lookups are the reentrant _r forms.
#include "user_info.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstring>
#include <string>
#include <vector>

#include "passwd_holder.hpp"

namespace kv::helper {
namespace {

constexpr std::size_t kLookupBufferSize = 16384;

// The id field of the account or group record named `name` (getpwnam_r,
// getgrnam_r); 0 when the name is empty or unknown.
template <class Record, class Id>
Id id_by_name(const char* name, int (*lookup)(const char*, Record*, char*, std::size_t, Record**),
              Id Record::*id) noexcept {
    if (name == nullptr || name[0] == '\0')
        return 0;
    Record record{};
    Record* result = nullptr;
    std::vector<char> buffer(kLookupBufferSize);
    if (lookup(name, &record, buffer.data(), buffer.size(), &result) != 0 || result == nullptr)
        return 0;
    return record.*id;
}

}  // namespace

void active_users(char* buffer, std::size_t* size) noexcept {
    const std::size_t capacity = buffer != nullptr ? *size : 0;
    if (capacity > 0)
        std::memset(buffer, 0, capacity);
    std::vector<std::string> stored;
    std::size_t used = 0, total = 0;
    bool overflowed = false;
    ::setutxent();
    while (const utmpx* record = ::getutxent()) {
        if (record->ut_type != USER_PROCESS || record->ut_user[0] == '\0')
            continue;
        // ut_user has no terminator when the name fills it.
        const std::size_t length = strnlen(record->ut_user, sizeof record->ut_user);
        if (overflowed) {
            total += length + 1;
            continue;
        }
        bool seen = false;
        for (const std::string& s : stored) {
            if (s.size() == length && std::memcmp(s.data(), record->ut_user, length) == 0) {
                seen = true;
                break;
            }
        }
        if (seen)
            continue;
        total += length + 1;
        if (used + length + 1 > capacity) {
            overflowed = true;
            continue;
        }
        std::memcpy(buffer + used, record->ut_user, length);
        buffer[used + length] = '\0';
        used += length + 1;
        stored.emplace_back(record->ut_user, length);
    }
    ::endutxent();
    *size = total;
}

gid_t group_id(const char* name) noexcept { return id_by_name(name, ::getgrnam_r, &group::gr_gid); }

uid_t user_id(const char* name) noexcept { return id_by_name(name, ::getpwnam_r, &passwd::pw_uid); }

int groups_for_user(uid_t uid, gid_t* groups, int* count) noexcept {
    PasswdHolder holder;
    passwd_init(&holder);
    if (passwd_lookup(uid, &holder) != 0) {
        passwd_destroy(&holder);
        *count = 0;
        return 0;
    }
    const int r = ::getgrouplist(holder.pwd.pw_name, holder.pwd.pw_gid, groups, count);
    passwd_destroy(&holder);
    return r;
}

}  // namespace kv::helper
