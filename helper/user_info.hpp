// Users and groups: logged-in users from the login records, account and
// group lookups by name, and a user's group list.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kv::helper {

// Names of users with a login session, each NUL-terminated, without
// repeats, into buffer[0..*size); *size becomes the bytes the whole answer
// needs. Uses the process-wide login-record cursor.
void active_users(char* buffer, std::size_t* size) noexcept;

// The id of a group or user by name; 0 when empty or unknown.
gid_t group_id(const char* name) noexcept;
uid_t user_id(const char* name) noexcept;

// getgrouplist() for the account `uid` with its primary group: its result
// (-1 with *count updated when the array is too small); 0 with *count 0
// when the user is unknown.
int groups_for_user(uid_t uid, gid_t* groups, int* count) noexcept;

}  // namespace kv::helper
