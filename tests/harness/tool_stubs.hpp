// The tool stand-ins as tests drive them: scripted answers for the stub
// bound over a tool's fixed path, and the calls it recorded (argument
// vector byte for byte, environment, uids, working directory, descriptors).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kv::test {

struct StubCall {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    int uid = -1;
    int euid = -1;
    std::string cwd;
    std::vector<int> fds;
    bool done = false;   // its output was written completely

    // The value of NAME in the recorded environment, or "(unset)".
    std::string getenv(const std::string& name) const;
};

// Native stand-in programs of the build.
const char* tool_stub_program();
const char* fake_tray_program();

// Scripts and records under /tmp/kvstub (the namespace's private /tmp),
// emptied by the constructor and removed by the destructor.
class ToolStubs {
public:
    ToolStubs();
    ToolStubs(const ToolStubs&) = delete;
    ToolStubs& operator=(const ToolStubs&) = delete;
    ~ToolStubs();

    // The answer of tool `name` (its argv[0] base name): output and exit
    // status, for every call, or for call `call` (1, 2, ...) only.
    void answer(const std::string& name, const std::string& out, int status = 0, int call = 0);
    std::vector<StubCall> calls(const std::string& name) const;
};

// Copies a program to `path` (directories made, mode 0755); false on error.
bool install_program(const std::string& from, const std::string& path);

// Starts `path` with exactly `argv` and `envp` (no shell, descriptors above
// 2 closed); its pid, or -1.
pid_t spawn_exact(const std::string& path, const std::vector<std::string>& argv,
                  const std::vector<std::string>& envp);
// SIGKILL and reap (pid > 0).
void kill_and_reap(pid_t pid);

}  // namespace kv::test
