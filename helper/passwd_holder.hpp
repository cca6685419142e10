// Reentrant account lookups through a caller-owned holder whose buffer is
// allocated on first use and reused by later lookups.
#pragma once

#include <sys/types.h>

#include "kvhelper.h"

namespace kv::helper {

void passwd_init(PasswdHolder* holder) noexcept;
void passwd_destroy(PasswdHolder* holder) noexcept;
// 0 found; the lookup's error number; -1 when the user does not exist (the
// holder is then destroyed) or no buffer could be had.
int passwd_lookup(uid_t uid, PasswdHolder* holder) noexcept;

}  // namespace kv::helper
