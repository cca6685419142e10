// A server process as the libraries' hosts run one: it loads
// libcefrpcclient (symbols visible process-wide) and libcefrpcserver at run
// time, serves one endpoint, prints each request, and stops after COUNT.
// Usage: cefrpc_server_host CLIENT_LIB|- SERVER_LIB ENDPOINT CODE COUNT
// ("-" leaves the client library out). Exit 0 after COUNT requests, 2 on a
// load or start failure, 3 when they did not arrive within 20 s.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cefrpc.h"

namespace {

std::atomic<int> g_received{0};
// "ready" comes first: a request can reach the listener before start()
// has returned to print it.
std::mutex g_output;

void on_request(std::uint32_t message_id, const char* name, std::uint64_t name_length,
                const void* payload, std::uint64_t payload_length) {
    std::uint64_t sum = 1469598103934665603ull;   // FNV-1a of the payload
    for (std::uint64_t i = 0; i < payload_length; ++i)
        sum = (sum ^ static_cast<const unsigned char*>(payload)[i]) * 1099511628211ull;
    std::lock_guard<std::mutex> lock(g_output);
    std::printf("request id=%" PRIu32 " name=%s name_length=%" PRIu64 " length=%" PRIu64
                " fnv=%016" PRIx64 "\n",
                message_id, name, name_length, payload_length, sum);
    std::fflush(stdout);
    g_received.fetch_add(1);
}

template <class Fn>
Fn symbol(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s CLIENT_LIB|- SERVER_LIB ENDPOINT CODE COUNT\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "-") != 0 && dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL) == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    void* server = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (server == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    const auto start = symbol<decltype(&CefStartServer)>(server, "CefStartServer");
    const auto stop = symbol<decltype(&CefStopServer)>(server, "CefStopServer");
    const auto code = static_cast<std::int32_t>(argv[4][0]);
    const int count = std::atoi(argv[5]);
    {
        std::lock_guard<std::mutex> lock(g_output);
        if (start == nullptr || stop == nullptr || start(argv[3], code, on_request) != 0)
            return 2;
        std::printf("ready\n");
        std::fflush(stdout);
    }
    for (int waited = 0; g_received.load() < count; waited += 10) {
        if (waited >= 20000) {
            stop(code);
            return 3;
        }
        usleep(10000);
    }
    stop(code);
    return 0;
}
