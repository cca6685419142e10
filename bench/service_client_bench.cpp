// A command round trip through the service client beside the same call made
// with plain libdbus, both against one peer on a private system bus.
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_impl.hpp"
#include "private_bus.hpp"
#include "protocol.hpp"
#include "service_peer.hpp"
#include "syslog_recorder.hpp"

namespace {

constexpr char kReply[] = R"({"RESP":"OK","VALU":3})";

void BM_ClientSendMessageToService(benchmark::State& state) {
    char buffer[kv::svc::kReplyBufferSize];
    for (auto _ : state) {
        std::memcpy(buffer, kv::svc::kCmdGetLogLevel, sizeof kv::svc::kCmdGetLogLevel);
        if (!kv::svc::sendMessageToService(buffer, buffer) || std::strcmp(buffer, kReply) != 0) {
            state.SkipWithError("send failed");
            break;
        }
    }
}

void BM_RawLibdbusCall(benchmark::State& state) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (c == nullptr) {
        state.SkipWithError("no bus");
        return;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    char buffer[kv::svc::kReplyBufferSize];
    for (auto _ : state) {
        DBusMessage* call = dbus_message_new_method_call(kv::svc::kServiceName, kv::svc::kCommandPath,
                                                         kv::svc::kCommandInterface, kv::svc::kCommandMethod);
        const char* text = kv::svc::kCmdGetLogLevel;
        dbus_message_append_args(call, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, -1, &error);
        dbus_message_unref(call);
        const char* answer = nullptr;
        if (reply == nullptr ||
            !dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID)) {
            state.SkipWithError("call failed");
            break;
        }
        std::snprintf(buffer, sizeof buffer, "%s", answer);
        dbus_message_unref(reply);
        benchmark::DoNotOptimize(buffer);
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
}

BENCHMARK(BM_RawLibdbusCall)->UseRealTime();
BENCHMARK(BM_ClientSendMessageToService)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Inside tests/harness/nsrun.sh the client's syslog lines go to a
    // recorder, as they would go to the system logger.
    (void)kv::test::shared_syslog();
    kv::test::PrivateBus bus(kv::test::PrivateBus::Kind::system);
    if (bus.start() != 0) {
        std::fprintf(stderr, "cannot start a private system bus\n");
        return 1;
    }
    kv::test::ServicePeer peer;
    peer.set_default_reply(kv::test::PeerReply::Text(kReply));
    if (peer.start() != 0) {
        std::fprintf(stderr, "cannot own the service name\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kv::svc::stopServiceClient();
    peer.stop();
    return 0;
}
