// The harness itself: private buses with the shipped policy, the syslog
// stand-in, the namespace runner and the process helpers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"
#include "service_peer.hpp"
#include "syslog_recorder.hpp"

namespace kv::test {
namespace {

constexpr long kTmpfsMagic = 0x01021994;

RunResult probe(const std::string& name, bool unprivileged, bool session = false) {
    RunOptions options;
    options.unprivileged = unprivileged;
    options.built_program = true;
    std::vector<std::string> argv{KV_BUS_NAME_PROBE};
    if (session)
        argv.emplace_back("--session");
    argv.push_back(name);
    return run_program(argv, options);
}

RunResult send_command_as(bool unprivileged, const std::string& interface) {
    RunOptions options;
    options.unprivileged = unprivileged;
    options.timeout = std::chrono::seconds(10);
    return run_program({"/usr/bin/dbus-send", "--system", "--print-reply", "--reply-timeout=5000",
                        std::string("--dest=") + svc::kServiceName, "/", interface + ".command_method",
                        R"(string:{ "CMD_":"GLOG" })"},
                       options);
}

TEST(PrivateSystemBus, ShippedPolicyLetsOnlyRootOwnTheServiceName) {
    PrivateBus bus(PrivateBus::Kind::system);
    ASSERT_EQ(bus.start(), 0);
    EXPECT_EQ(std::string(getenv("DBUS_SYSTEM_BUS_ADDRESS")), bus.address());

    const RunResult as_nobody = probe(svc::kServiceName, true);
    EXPECT_EQ(as_nobody.exit_code, 1) << as_nobody.out << as_nobody.err;
    EXPECT_NE(as_nobody.out.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << as_nobody.out;

    // Default deny: no other name either, even for root.
    EXPECT_EQ(probe("com.korvane.not_listed", false).exit_code, 1);

    const RunResult as_root = probe(svc::kServiceName, false);
    EXPECT_EQ(as_root.exit_code, 0) << as_root.out << as_root.err;
}

TEST(PrivateSystemBus, AnyUserMayCallTheCommandMethodButNothingElse) {
    PrivateBus bus(PrivateBus::Kind::system);
    ASSERT_EQ(bus.start(), 0);
    ServicePeer peer;
    peer.set_default_reply(PeerReply::Text(R"({"RESP":"OK","VALU":7})"));
    ASSERT_EQ(peer.start(), 0);

    const RunResult allowed = send_command_as(true, svc::kCommandInterface);
    EXPECT_EQ(allowed.exit_code, 0) << allowed.err;
    EXPECT_NE(allowed.out.find(R"({"RESP":"OK","VALU":7})"), std::string::npos) << allowed.out;

    const RunResult denied = send_command_as(true, "com.korvane.agent_server.other");
    EXPECT_NE(denied.exit_code, 0);
    EXPECT_NE(denied.err.find("AccessDenied"), std::string::npos) << denied.err;
    EXPECT_EQ(peer.received_count(), 1u);
}

TEST(PrivateSystemBus, StopEndsTheDaemonAndRestartKeepsTheAddress) {
    PrivateBus bus(PrivateBus::Kind::system);
    ASSERT_EQ(bus.start(), 0);
    const pid_t first = bus.pid();
    const std::string address = bus.address();
    bus.stop();
    EXPECT_FALSE(bus.running());
    EXPECT_EQ(kill(first, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_NE(access(bus.socket_path().c_str(), F_OK), 0);
    bus.stop();   // idempotent

    ASSERT_EQ(bus.start(), 0);
    EXPECT_NE(bus.pid(), first);
    EXPECT_EQ(bus.address(), address);
    EXPECT_EQ(probe(svc::kServiceName, false).exit_code, 0);
}

TEST(PrivateSessionBus, AnyNameMayBeOwned) {
    PrivateBus bus(PrivateBus::Kind::session);
    ASSERT_EQ(bus.start(), 0);
    EXPECT_EQ(std::string(getenv("DBUS_SESSION_BUS_ADDRESS")), bus.address());
    const RunResult r = probe("com.korvane.guard", false, true);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

TEST(SyslogStandIn, RecordsPriorityAndMessage) {
    SyslogRecorder* log = shared_syslog();
    ASSERT_NE(log, nullptr) << "must run inside nsrun.sh";
    log->clear();
    syslog(LOG_ERR, "%s: harness %d", "Probe", 1);
    syslog(LOG_INFO, "%s: harness %d", "Probe", 2);
    ASSERT_TRUE(log->wait_for("Probe: harness 2", std::chrono::seconds(5)));
    EXPECT_EQ(log->count("Probe: harness 1", LOG_ERR), 1);
    EXPECT_EQ(log->count("Probe: harness 2", LOG_INFO), 1);
    EXPECT_EQ(log->count("Probe: harness 2", LOG_ERR), 0);
}

TEST(NamespaceRunner, FixedPathsArePrivateTmpfs) {
    ASSERT_TRUE(in_test_namespace());
    for (const char* dir : {"/opt/korvane", "/tmp"}) {
        struct statfs fs {};
        ASSERT_EQ(statfs(dir, &fs), 0) << dir;
        EXPECT_EQ(static_cast<long>(fs.f_type), kTmpfsMagic) << dir;
    }
    std::ofstream(std::string("/opt/korvane/probe")) << "x";
    EXPECT_EQ(access("/opt/korvane/probe", F_OK), 0);
    // Only our own processes are visible (PID namespace).
    EXPECT_LT(getpid(), 100);
}

TEST(NamespaceRunner, StubsReplaceFixedToolPathsOnlyInside) {
    TempDir dir;
    const std::string stub = dir.file("initctl");
    std::ofstream(stub) << "#!/bin/sh\necho \"stub initctl $*\"\n";
    ASSERT_EQ(chmod(stub.c_str(), 0755), 0);
    const bool existed = access("/sbin/initctl", F_OK) == 0;

    RunOptions options;
    options.extra_env = {"KV_IN_TEST_NAMESPACE=0"};
    const RunResult r = run_program({KV_NSRUN_SCRIPT, "--stub", "/sbin/initctl=" + stub, "--",
                                     "/sbin/initctl", "start", "korvanesvc"},
                                    options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "stub initctl start korvanesvc\n");
    EXPECT_EQ(access("/sbin/initctl", F_OK) == 0, existed);
}

TEST(Processes, UnprivilegedRunAndBoundedStop) {
    RunOptions options;
    options.unprivileged = true;
    const RunResult id = run_program({"/usr/bin/id", "-u"}, options);
    EXPECT_EQ(id.out, "65534\n");

    ChildProcess child;
    ASSERT_TRUE(child.start({"/bin/sleep", "100"}));
    const pid_t pid = child.pid();
    const int status = child.stop(std::chrono::milliseconds(500));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(kill(pid, 0), -1);

    RunOptions quick;
    quick.timeout = std::chrono::milliseconds(200);
    const RunResult slow = run_program({"/bin/sleep", "5"}, quick);
    EXPECT_TRUE(slow.timed_out);
}

}  // namespace
}  // namespace kv::test
