// A stand-in for the agent service's process as far as the watchdog sees
// it: loads libkvhelper with dlopen (argv[1]) and performs the steps named
// by the further arguments, printing one line per step:
//   threads      watchdog threads of the process ("threads N")
//   deadlock     watchdog_deadlock()'s score ("deadlock N")
//   keepalive    KvDeadLockWatch()
//   disable      KvDeadLockDisable()
//   wait:MS      sleeps MS milliseconds
//   unload       dlclose, timed ("unload_ms N")
// Without "unload" the library is unloaded by exit.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

int watchdog_threads() {
    int n = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return -1;
    while (const dirent* e = ::readdir(tasks)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        n += name == "kvwatchdog" ? 1 : 0;
    }
    ::closedir(tasks);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    void* lib = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::printf("dlopen %s\n", ::dlerror());
        return 3;
    }
    using Void = void (*)();
    using Score = int (*)();
    auto keepalive = reinterpret_cast<Void>(::dlsym(lib, "KvDeadLockWatch"));
    auto disable = reinterpret_cast<Void>(::dlsym(lib, "KvDeadLockDisable"));
    auto deadlock = reinterpret_cast<Score>(::dlsym(lib, "watchdog_deadlock"));
    if (keepalive == nullptr || disable == nullptr || deadlock == nullptr)
        return 4;
    for (int i = 2; i < argc; ++i) {
        const std::string step = argv[i];
        if (step == "threads") {
            std::printf("threads %d\n", watchdog_threads());
        } else if (step == "deadlock") {
            std::printf("deadlock %d\n", deadlock());
        } else if (step == "keepalive") {
            keepalive();
        } else if (step == "disable") {
            disable();
        } else if (step.rfind("wait:", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.substr(5))));
        } else if (step == "unload") {
            const auto start = std::chrono::steady_clock::now();
            const int rc = ::dlclose(lib);
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            std::printf("unload_ms %lld rc %d\n", static_cast<long long>(ms), rc);
        } else {
            return 5;
        }
        std::fflush(stdout);
    }
    return 0;
}
