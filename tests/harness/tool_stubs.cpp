// Reading and writing the tool stand-ins' script and record files.
#include "tool_stubs.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "process.hpp"

namespace kv::test {
namespace {

constexpr char kStubDir[] = "/tmp/kvstub";

std::vector<std::string> split_nul(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\0', pos);
        out.push_back(text.substr(pos, end - pos));
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return out;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace

std::string StubCall::getenv(const std::string& name) const {
    for (const std::string& e : env) {
        if (e.compare(0, name.size() + 1, name + "=") == 0)
            return e.substr(name.size() + 1);
    }
    return "(unset)";
}

const char* tool_stub_program() { return KV_TOOL_STUB; }
const char* fake_tray_program() { return KV_FAKE_TRAY; }

ToolStubs::ToolStubs() {
    std::error_code ec;
    std::filesystem::remove_all(kStubDir, ec);
    std::filesystem::create_directories(kStubDir, ec);
    (void)::chmod(kStubDir, 0777);
}

ToolStubs::~ToolStubs() {
    std::error_code ec;
    std::filesystem::remove_all(kStubDir, ec);
}

void ToolStubs::answer(const std::string& name, const std::string& out, int status, int call) {
    const std::string base = std::string(kStubDir) + "/" + name + (call > 0 ? "." + std::to_string(call) : "");
    write_text(base + ".out", out);
    write_text(base + ".status", std::to_string(status));
}

std::vector<StubCall> ToolStubs::calls(const std::string& name) const {
    std::vector<StubCall> out;
    for (int n = 1;; ++n) {
        const std::string base = std::string(kStubDir) + "/" + name + "." + std::to_string(n);
        if (!std::filesystem::exists(base + ".argv"))
            break;
        StubCall call;
        call.argv = split_nul(read_text_file(base + ".argv"));
        call.env = split_nul(read_text_file(base + ".env"));
        std::istringstream info(read_text_file(base + ".info"));
        std::string key;
        while (info >> key) {
            if (key == "uid") {
                info >> call.uid;
            } else if (key == "euid") {
                info >> call.euid;
            } else if (key == "cwd") {
                info >> call.cwd;
            } else if (key == "fds") {
                std::string rest;
                std::getline(info, rest);
                std::istringstream fds(rest);
                int fd;
                while (fds >> fd)
                    call.fds.push_back(fd);
            }
        }
        call.done = std::filesystem::exists(base + ".done");
        out.push_back(std::move(call));
    }
    return out;
}

bool install_program(const std::string& from, const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::filesystem::remove(path, ec);
    if (!std::filesystem::copy_file(from, path, ec))
        return false;
    return ::chmod(path.c_str(), 0755) == 0;
}

pid_t spawn_exact(const std::string& path, const std::vector<std::string>& argv,
                  const std::vector<std::string>& envp) {
    std::vector<char*> a, e;
    for (const std::string& s : argv)
        a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    for (const std::string& s : envp)
        e.push_back(const_cast<char*>(s.c_str()));
    e.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

void kill_and_reap(pid_t pid) {
    if (pid <= 0)
        return;
    (void)::kill(pid, SIGKILL);
    int status = 0;
    (void)::waitpid(pid, &status, 0);
}

}  // namespace kv::test
