// Commands per second through libkvhelper's command server, with 1 and 8
// clients, beside a minimal libdbus echo server answering the same calls in
// the same run; p50/p99 call latency as counters (microseconds), and the
// sender verifier's calls during the run.
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "kvhelper.h"
#include "private_bus.hpp"
#include "protocol.hpp"
#include "service_peer.hpp"

namespace {

constexpr char kRequest[] = R"({ "CMD_":"ECHO", "VALU":"benchmark" })";

void echo_handler(char* buffer, int, int* length) { *length = static_cast<int>(std::strlen(buffer)); }
// Verifier calls since the server answered: about one per client when the
// sender cache does its work.
std::atomic<long> g_verifications{0};
bool trust_all(const char*) {
    ++g_verifications;
    return true;
}

kv::test::ServicePeer* g_raw_server = nullptr;

// Until the server owns the name a call fails at once: poll against a
// deadline, not a count, or a loaded machine starts measuring too early.
bool answers() {
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (c == nullptr)
        return false;
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    bool ok = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        DBusMessage* m = dbus_message_new_method_call(kv::svc::kServiceName, "/", kv::svc::kCommandInterface,
                                                      kv::svc::kCommandMethod);
        const char* t = kRequest;
        dbus_message_append_args(m, DBUS_TYPE_STRING, &t, DBUS_TYPE_INVALID);
        DBusMessage* r = dbus_connection_send_with_reply_and_block(c, m, 200, nullptr);
        dbus_message_unref(m);
        ok = r != nullptr && dbus_message_get_type(r) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
        if (r != nullptr)
            dbus_message_unref(r);
        if (!ok)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
    return ok;
}

void start_kvhelper(const benchmark::State&) {
    KvSetServerCallbackForCommand("ECHO", echo_handler);
    if (KvStartServerLinux(trust_all) != 0 || !answers())
        std::fprintf(stderr, "kvhelper server did not start\n");
    g_verifications = 0;
}
void stop_kvhelper(const benchmark::State&) { KvStopServer(); }

void start_raw(const benchmark::State&) {
    g_raw_server = new kv::test::ServicePeer;
    g_raw_server->set_default_reply(kv::test::PeerReply::Echo());
    if (g_raw_server->start() != 0 || !answers())
        std::fprintf(stderr, "raw echo server did not start\n");
    g_verifications = 0;
}
void stop_raw(const benchmark::State&) {
    g_raw_server->stop();
    delete g_raw_server;
    g_raw_server = nullptr;
}

// Each thread calls over its own connection and reports its latencies.
void round_trips(benchmark::State& state) {
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (c == nullptr) {
        state.SkipWithError("no bus");
        return;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    std::vector<double> latency_us;
    latency_us.reserve(1 << 16);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        DBusMessage* m = dbus_message_new_method_call(kv::svc::kServiceName, "/", kv::svc::kCommandInterface,
                                                      kv::svc::kCommandMethod);
        const char* t = kRequest;
        dbus_message_append_args(m, DBUS_TYPE_STRING, &t, DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* r = dbus_connection_send_with_reply_and_block(c, m, 25000, &error);
        dbus_message_unref(m);
        const char* answer = nullptr;
        if (r == nullptr || !dbus_message_get_args(r, nullptr, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID) ||
            std::strcmp(answer, kRequest) != 0) {
            state.SkipWithError(dbus_error_is_set(&error) ? error.name : "wrong reply");
            dbus_error_free(&error);
            if (r != nullptr)
                dbus_message_unref(r);
            break;
        }
        dbus_message_unref(r);
        latency_us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
    state.SetItemsProcessed(state.iterations());
    state.counters["verifier_calls"] =
        benchmark::Counter(static_cast<double>(g_verifications.load()), benchmark::Counter::kAvgThreads);
    if (!latency_us.empty()) {
        std::sort(latency_us.begin(), latency_us.end());
        const auto at = [&](double q) { return latency_us[static_cast<std::size_t>(q * (latency_us.size() - 1))]; };
        state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
        state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
    }
}

BENCHMARK(round_trips)->Name("RawEchoServer")->Setup(start_raw)->Teardown(stop_raw)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(round_trips)->Name("KvHelperServer")->Setup(start_kvhelper)->Teardown(stop_kvhelper)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    kv::test::PrivateBus bus(kv::test::PrivateBus::Kind::system);
    if (bus.start() != 0) {
        std::fprintf(stderr, "cannot start a private system bus\n");
        return 1;
    }
    (void)dbus_threads_init_default();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
