// Fixtures over fixed system paths for tests that run in the harness's
// private mount namespace: per-test bind mounts undone on destruction, and
// a forked child in a mount namespace of its own for fixtures that must
// replace a whole directory such as /proc.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace kv::test {

// Writes `text` to `path` (created or truncated) with `mode`; false on error.
bool write_text_file(const std::string& path, const std::string& text, mode_t mode = 0644);

// A mount made by a fixture, undone (detached) by the destructor.
class ScopedMount {
public:
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    ~ScopedMount();
    bool ok() const { return ok_; }

protected:
    ScopedMount(const std::string& target, bool ok) : target_(target), ok_(ok) {}

private:
    std::string target_;
    bool ok_ = false;
};

// Binds `source` over the existing `target`.
class BindMount : public ScopedMount {
public:
    BindMount(const std::string& source, const std::string& target);
};

// A tmpfs over `target` (hiding what is there); `options` are tmpfs options
// such as "size=64k".
class TmpfsMount : public ScopedMount {
public:
    explicit TmpfsMount(const std::string& target, const std::string& options = "");
};

// Runs `body` in a forked child that has its own mount namespace, so
// whatever it mounts vanishes with it. Returns body's result (0..255), or
// -1 when the child could not run or died.
int run_in_private_mounts(const std::function<int()>& body);

}  // namespace kv::test
