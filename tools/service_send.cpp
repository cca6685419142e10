// kvsvc-send: developer tool that sends command texts to the agent service
// through the service client and prints each reply, or listens for the
// service's broadcasts for a while and prints them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_impl.hpp"
#include "protocol.hpp"

namespace {

void print_usage() {
    std::fputs("usage: kvsvc-send [--no-reply] COMMAND_TEXT...\n"
               "       kvsvc-send --listen SECONDS\n",
               stderr);
}

void on_signal(void*, int index) {
    std::printf("broadcast %d %s\n", index,
                index < kv::svc::kSignalCount ? kv::svc::kSignalNames[index] : "(unknown)");
    std::fflush(stdout);
}

int listen_for(int seconds) {
    static int context;
    kv::svc::setTracePrinter(nullptr);
    if (!kv::svc::listenForServiceSignals(on_signal, &context)) {
        std::fputs("kvsvc-send: cannot listen for broadcasts\n", stderr);
        return 1;
    }
    (void)sleep(static_cast<unsigned>(seconds));
    kv::svc::clearServiceSignalCallback();
    kv::svc::stopServiceClient();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--listen") == 0)
        return listen_for(std::atoi(argv[2]));
    int first = 1;
    const bool wait = !(argc > 1 && std::strcmp(argv[1], "--no-reply") == 0);
    if (!wait)
        first = 2;
    if (first >= argc) {
        print_usage();
        return 2;
    }
    int status = 0;
    for (int i = first; i < argc; ++i) {
        char reply[kv::svc::kReplyBufferSize] = {};
        const bool sent = kv::svc::sendMessageToService(argv[i], wait ? reply : nullptr);
        if (!sent) {
            std::printf("%s -> (send failed)\n", argv[i]);
            status = 1;
        } else if (wait) {
            std::printf("%s -> %s\n", argv[i], reply);
        } else {
            std::printf("%s -> (sent, no reply awaited)\n", argv[i]);
        }
    }
    kv::svc::stopServiceClient();
    return status;
}
