// kv_test_service_peer: the service peer as a program, for the demo and for
// manual runs. Answers every protocol command from a canned table (entries
// given as REQUEST=REPLY arguments override it), prints each request it
// receives, broadcasts the names given with --broadcast once it owns the
// service name, and runs until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.hpp"
#include "service_peer.hpp"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop(int) { g_stop = 1; }

void add_canned_replies(kv::test::ServicePeer& peer) {
    using kv::test::PeerReply;
    namespace svc = kv::svc;
    peer.set_reply(svc::kCmdDriverConnected, PeerReply::Text(R"({"RESP":"OK","VALU":1})"));
    peer.set_reply(svc::kCmdGetLogLevel, PeerReply::Text(R"({"RESP":"OK","VALU":"3"})"));
    peer.set_reply(svc::kCmdPolicyTime, PeerReply::Text(R"({"RESP":"OK","VALU":"2026-12-01 08:00:00"})"));
    peer.set_reply(svc::kCmdPolicyInfo,
                   PeerReply::Text(R"({"RESP":"OK","PNAME":"Default","PMODE":"Local Policy","PNOTF":"OK"})"));
    peer.set_reply(svc::kCmdUpdateCheck, PeerReply{PeerReply::Kind::none, {}});
}

}  // namespace

int main(int argc, char** argv) {
    kv::test::ServicePeer peer;
    add_canned_replies(peer);
    std::vector<std::string> broadcasts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--broadcast") == 0 && i + 1 < argc) {
            broadcasts.emplace_back(argv[++i]);
            continue;
        }
        const char* eq = std::strchr(argv[i], '=');
        if (eq == nullptr) {
            std::fprintf(stderr, "usage: kv_test_service_peer [--broadcast NAME]... [REQUEST=REPLY]...\n");
            return 2;
        }
        peer.set_reply(std::string(argv[i], static_cast<std::size_t>(eq - argv[i])), kv::test::PeerReply::Text(eq + 1));
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (peer.start() != 0) {
        std::fprintf(stderr, "kv_test_service_peer: cannot own %s\n", kv::svc::kServiceName);
        return 1;
    }
    std::printf("peer: owns %s\n", kv::svc::kServiceName);
    std::fflush(stdout);
    for (const auto& name : broadcasts)
        peer.broadcast(name);
    std::size_t shown = 0;
    while (!g_stop) {
        (void)peer.wait_for_requests(shown + 1, std::chrono::milliseconds(100));
        const auto received = peer.received();
        for (; shown < received.size(); ++shown)
            std::printf("peer: received %s\n", received[shown].c_str());
        std::fflush(stdout);
    }
    peer.stop();
    return 0;
}
