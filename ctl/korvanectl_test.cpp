// korvanectl as a program: options, the fixed action order, privileges and
// every output line, against the simulated agent (or a table-driven peer)
// on a private system bus, with state files in the private /opt/korvane.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "private_bus.hpp"
#include "process.hpp"
#include "protocol.hpp"
#include "service_peer.hpp"

namespace {

using namespace std::chrono_literals;
using kv::test::RunResult;

constexpr char kStates[] = "/opt/korvane/HostCache/file_states.log";
const std::string kIdA = "3F2A9C1E5B7D4A60C8E1F2B3A4D5C6E7F8091A2B3C4D5E6F708192A3B4C5D6E7";
const std::string kIdB = "A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D4E5F60718293A4B5C6D7E8F90";

const char kUsage[] =
    "usage: korvanectl <options>\n"
    "options:\n"
    "    -s, --status            : get status of KorvaneGUARD\n"
    "    -u, --checkupdates      : check for updates\n"
    "    -b, --start-bg-scan     : start background scan\n"
    "    -B, --stop-bg-scan      : stop background scan\n"
    "    -d, --scan-dir=dir      : scan directory\n"
    "    -l, --getloglevel       : get current log level\n"
    "    -L, --setloglevel=level : set log level\n"
    "    -P, --getpolicytime     : get the policy update time\n"
    "    -p, --checkpolicy       : check for policy updates\n"
    "    -t, --threats           : list threats\n"
    "    -q, --quarantine=id     : quarantine a file by id (hash)\n"
    "    -w, --waive=id          : waive a file by id (hash)\n"
    "    -v, --version           : print this tools version\n"
    "    -h, --help              : print this message\n";

[[maybe_unused]] const auto* const g_bus_env =
    ::testing::AddGlobalTestEnvironment(new kv::test::SystemBusEnvironment);

void write_file(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string sample_states() {
    return "{\n"
           "  \"/srv/a.exe\": {\"ID\": \"" + kIdA + "\", \"Score\": \"-0.9\", \"State\": 1},\n"
           "  \"/srv/b.bin\": {\"ID\": \"" + kIdB + "\", \"Score\": \"-0.9\", \"State\": 12}\n"
           "}\n";
}

class KorvanectlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace());
        std::filesystem::remove_all("/opt/korvane/HostCache");
        std::filesystem::create_directories("/opt/korvane/HostCache");
    }
    void TearDown() override { sim_.stop(); }

    RunResult ctl(std::vector<std::string> args, bool unprivileged = false, const std::string& cwd = "") {
        args.insert(args.begin(), KV_KORVANECTL);
        kv::test::RunOptions options;
        options.built_program = true;
        options.unprivileged = unprivileged;
        options.cwd = cwd;
        return kv::test::run_program(args, options);
    }

    // The simulated agent, trusting korvanectl; waits until it answers.
    void start_agent() {
        std::vector<std::string> argv{KV_AGENT_SIM, "--state-dir", "/opt/korvane/HostCache", "--trust", KV_KORVANECTL};
        if (!kv::test::emulator_prefix().empty())
            argv.insert(argv.end(), {"--trust", kv::test::emulator_prefix().front()});
        kv::test::RunOptions options;
        options.built_program = true;
        ASSERT_TRUE(sim_.start(argv, options));
        for (int i = 0; i < 200; ++i) {
            if (ctl({"-l"}).out == "Log Level: 3\n")
                return;
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << "the simulated agent never answered";
    }

    std::string agent_state() { return read_file("/opt/korvane/HostCache/agent_simulator_state.json"); }

    kv::test::ChildProcess sim_;
};

TEST_F(KorvanectlTest, HelpAndVersionInEitherOrder) {
    for (const auto& args : {std::vector<std::string>{"-h", "-v"}, std::vector<std::string>{"--version", "--help"}}) {
        const RunResult r = ctl(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, std::string("version: 3.1.1000.340\n") + kUsage);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(KorvanectlTest, InvalidCommandLinesRunNoActionAndExit1) {
    write_file(kStates, "{}");
    const struct {
        std::vector<std::string> args;
        const char* scanner_complaint;
    } cases[] = {
        {{"-t", "-q"}, "option requires an argument -- 'q'"},
        {{"-t", "--st"}, "option '--st' is ambiguous"},
        {{"-t", "-x"}, "invalid option -- 'x'"},
        {{"-t", "--threatz"}, "unrecognized option '--threatz'"},
    };
    for (const auto& c : cases) {
        const RunResult r = ctl(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args.back();
        EXPECT_EQ(r.out, kUsage);   // and no "No threats found": no action ran
        EXPECT_NE(r.err.find(c.scanner_complaint), std::string::npos) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - 22), "error: invalid option\n") << r.err;
    }
}

TEST_F(KorvanectlTest, OptionEdgesWithoutAService) {
    RunResult r = ctl({"stray-word"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out + r.err, "");
    r = ctl({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out + r.err, "");   // status with no service prints nothing
    r = ctl({"--stat"});            // a unique prefix
    EXPECT_EQ(r.exit_code, 0);
    r = ctl({"-L", "abc"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: invalid log level value: abc\n");
    r = ctl({"-t"});
    EXPECT_EQ(r.out, "No threats found\n");

    const auto t0 = std::chrono::steady_clock::now();
    r = ctl({"--checkupdates"});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(r.out, "Check update request: success\n");
    EXPECT_EQ(r.exit_code, 0);
    r = ctl({"-l", "-P", "-p", "-b", "-B"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "error: request start background scan: failed\n"
              "error: request stop background scan: failed\n"
              "error: failed to request loglevel\n"
              "error: failed to get last policy update time\n"
              "error: Check policy updates request: failed\n");
}

TEST_F(KorvanectlTest, ThreatListColumnsStatesAndSkippedRecords) {
    write_file(kStates, "{\n"
                        " \"/q\": {\"ID\": \"" + kIdA + "\", \"State\": 12},\n"
                        " \"/u\": {\"ID\": \"" + kIdB + "\", \"State\": 16},\n"
                        " \"/s\": {\"ID\": \"" + kIdA + "\", \"State\": \"8\"},\n"
                        " \"/w\": {\"ID\": \"" + kIdB + "\", \"State\": 5},\n"
                        " \"/noid\": {\"State\": 1},\n"
                        " \"/nostate\": {\"ID\": \"" + kIdA + "\"},\n"
                        " \"/float\": {\"ID\": \"" + kIdA + "\", \"State\": 1.0},\n"
                        " \"/a\": {\"ID\": \"" + kIdB + "\", \"State\": 2}\n"
                        "}\n");
    const RunResult r = ctl({"-t", "-s"});   // the status comes first whatever the order
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Quarantined " + kIdA + " /q\n"
                     "    Unknown " + kIdB + " /u\n"
                     "Quarantined " + kIdA + " /s\n"
                     "     Waived " + kIdB + " /w\n"
                     "   Abnormal " + kIdB + " /a\n");
    write_file(kStates, "{}");
    EXPECT_EQ(ctl({"-t"}).out, "");
    write_file(kStates, "[1, 2]");
    EXPECT_EQ(ctl({"-t"}).out, "");
}

TEST_F(KorvanectlTest, ControlBytesInPathsAreMaskedOnlyOnATerminal) {
    write_file(kStates, "{\"/tmp/evil\\u001b[2J\\nforged\": {\"ID\": \"" + kIdA + "\", \"State\": 1}}");
    const RunResult redirected = ctl({"-t"});
    EXPECT_EQ(redirected.out, "     Unsafe " + kIdA + " /tmp/evil\x1b[2J\nforged\n");
    // Through a pseudo-terminal: script(1) gives korvanectl one.
    std::string command;
    for (const auto& part : kv::test::emulator_prefix())
        command += part + " ";
    command += std::string(KV_KORVANECTL) + " -t";
    const RunResult tty = kv::test::run_program({"/usr/bin/script", "-qec", command, "/dev/null"});
    EXPECT_NE(tty.out.find("Unsafe " + kIdA + " /tmp/evil?[2J?forged"), std::string::npos) << tty.out;
    EXPECT_EQ(tty.out.find('\x1b'), std::string::npos);
}

TEST_F(KorvanectlTest, QueriesAndRequestsAgainstTheAgent) {
    write_file(kStates, sample_states());
    start_agent();
    RunResult r = ctl({"-s", "-P", "-p", "-b", "-B", "-l"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> got;
    while (std::getline(lines, line))
        got.push_back(line);
    ASSERT_EQ(got.size(), 6u) << r.out;
    EXPECT_EQ(got[0], "Policy: Default Policy (Local Policy)");
    EXPECT_EQ(got[1], "request start background scan: success");
    EXPECT_EQ(got[2], "request stop background scan: success");
    EXPECT_EQ(got[3], "Log Level: 3");
    EXPECT_EQ(got[4], "Last policy update time: 2026-12-01 08:00:00");
    EXPECT_EQ(got[5], "Check policy updates request: success");

    r = ctl({"-L", "-1"});
    EXPECT_EQ(r.out, "Log Level: 4294967295\n");
    r = ctl({"--setloglevel=5abc"});
    EXPECT_EQ(r.out, "Log Level: 5\n");
}

TEST_F(KorvanectlTest, ScanDirectoryResolvesAndRefuses) {
    start_agent();
    std::filesystem::create_directories("/tmp/scan/real/sub");
    std::filesystem::create_symlink("/tmp/scan/real", "/tmp/scan/link");
    write_file("/tmp/scan/file", "x");
    RunResult r = ctl({"-d", "/tmp/scan/file"});
    EXPECT_EQ(r.err, "error: /tmp/scan/file not a directory\n");
    r = ctl({"-d", "/tmp/scan/none"});
    EXPECT_EQ(r.err, "error: /tmp/scan/none not found\n");
    r = ctl({"-d", "real/sub/.."}, false, "/tmp/scan");
    EXPECT_EQ(r.out, "request directory scan: /tmp/scan/real : request queued\n");
    r = ctl({"-d", "/tmp/scan/link/sub"});
    EXPECT_EQ(r.out, "request directory scan: /tmp/scan/real/sub : request queued\n");
    r = ctl({"-d", "/tmp/scan/file", "--scan-dir", "/tmp/scan/link"});   // the last one wins
    EXPECT_EQ(r.out, "request directory scan: /tmp/scan/real : request queued\n");
    EXPECT_EQ(r.err, "");
    const std::string state = agent_state();
    EXPECT_NE(state.find("\"/tmp/scan/real/sub\""), std::string::npos) << state;
}

TEST_F(KorvanectlTest, HostileDirectoryNamesNeitherInjectNorAbort) {
    write_file(kStates, sample_states());
    start_agent();
    const std::string evil = "/tmp/x\", \"CMD_\": \"THRT\", \"WAIVE\": \"" + kIdA;
    std::filesystem::create_directories(evil);
    const std::string before = read_file(kStates);
    RunResult r = ctl({"-d", evil}, true);   // any user may scan
    EXPECT_EQ(r.out, "request directory scan: " + evil + " : request queued\n");
    EXPECT_EQ(read_file(kStates), before);   // nothing was waived
    EXPECT_NE(agent_state().find("\"/tmp/x\\\", \\\"CMD_\\\""), std::string::npos) << agent_state();

    const std::string latin1 = "/tmp/caf\xe9";
    std::filesystem::create_directories(latin1);
    r = ctl({"-d", latin1});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "error: request directory scan: " + latin1 + " : failed to queue request\n");
}

TEST_F(KorvanectlTest, QuarantineAndWaiveCheckIdsBeforeSending) {
    write_file(kStates, sample_states());
    start_agent();
    const std::string lower = "3f2a9c1e5b7d4a60c8e1f2b3a4d5c6e7f8091a2b3c4d5e6f708192a3b4c5d6e7";
    RunResult r = ctl({"-q", kIdA.substr(0, 63), "-w", kIdA.substr(0, 63) + "G"});
    EXPECT_EQ(r.err, "error: Invalid file id: " + kIdA.substr(0, 63) + "\n"
                     "error: Invalid file id: " + kIdA.substr(0, 63) + "G\n");
    const std::string unknown(64, 'e');
    r = ctl({"-q", unknown});
    EXPECT_EQ(r.err, "error: Unknown file id (" + unknown + "), get threats list with '-t'\n");
    EXPECT_EQ(read_file(kStates), sample_states());

    r = ctl({"-w", lower, "-q", lower});   // quarantine runs first, then waive
    EXPECT_EQ(r.out, "Quarantine file requested\nWaive file requested\n");
    EXPECT_EQ(r.err, "");
    const std::string after = read_file(kStates);
    EXPECT_NE(after.find("\"State\":5"), std::string::npos) << after;   // unsafe, waived
}

TEST_F(KorvanectlTest, UnprivilegedUsersGetOneErrorPerPrivilegedAction) {
    write_file(kStates, sample_states());
    start_agent();
    const RunResult r = ctl({"-L", "3", "-q", kIdA, "-l"}, true);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "error: root privileges required\nerror: root privileges required\n");
    EXPECT_EQ(r.out, "Log Level: 3\n");
    EXPECT_EQ(read_file(kStates), sample_states());
}

TEST_F(KorvanectlTest, SetLevelReportsFailureWhenTheReadBackFails) {
    kv::test::ServicePeer peer;
    peer.set_reply(R"({ "CMD_":"SLOG", "VALU":"9" })", kv::test::PeerReply::Text(R"({"RESP":"OK"})"));
    peer.set_reply(kv::svc::kCmdGetLogLevel, kv::test::PeerReply{kv::test::PeerReply::Kind::error, "gone"});
    ASSERT_EQ(peer.start(), 0);
    const RunResult r = ctl({"-L", "9"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: failed to set loglevel to 9\n");
    const std::vector<std::string> expected{R"({ "CMD_":"SLOG", "VALU":"9" })", R"({ "CMD_":"GLOG" })"};
    EXPECT_EQ(peer.received(), expected);
}

// --json: the same scenarios, each line of standard output parsed by jq.
class KorvanectlJsonTest : public KorvanectlTest {
protected:
    struct JsonRun {
        int exit_code = -1;
        std::vector<std::string> objects;   // jq -cS of each line: compact, keys sorted
        std::string err;
        std::string raw;
    };

    JsonRun ctl_json(std::vector<std::string> args, bool unprivileged = false, const std::string& cwd = "") {
        args.insert(args.begin(), "--json");
        const RunResult r = ctl(args, unprivileged, cwd);
        JsonRun j{r.exit_code, {}, r.err, r.out};
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            kv::test::RunOptions options;
            options.stdin_text = line;
            const RunResult parsed = kv::test::run_program({"/usr/bin/jq", "-c", "-S", "."}, options);
            EXPECT_EQ(parsed.exit_code, 0) << "not JSON: " << line << "\n" << parsed.err;
            EXPECT_EQ(std::count(parsed.out.begin(), parsed.out.end(), '\n'), 1) << "not one object: " << line;
            if (!parsed.out.empty())
                j.objects.push_back(parsed.out.substr(0, parsed.out.size() - 1));
        }
        return j;
    }

    // One field of one object through jq -r.
    static std::string jq_field(const std::string& object, const std::string& filter) {
        kv::test::RunOptions options;
        options.stdin_text = object;
        const RunResult r = kv::test::run_program({"/usr/bin/jq", "-r", filter}, options);
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    }
};

std::string json_usage() {
    std::string escaped;
    for (const char c : std::string(kUsage))
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return escaped;
}

TEST_F(KorvanectlJsonTest, HelpVersionAndInvalidCommandLines) {
    JsonRun j = ctl_json({"-h", "-v"});
    EXPECT_EQ(j.exit_code, 0);
    EXPECT_EQ(j.objects, (std::vector<std::string>{
                             R"({"action":"version","outcome":"success","version":"3.1.1000.340"})",
                             R"({"action":"help","outcome":"success","usage":")" + json_usage() + R"("})"}));
    write_file(kStates, "{}");
    j = ctl_json({"-t", "-q"});
    EXPECT_EQ(j.exit_code, 1);
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"help","error":"invalid option",)"
                                                   R"("outcome":"invalid_option","usage":")" + json_usage() + R"("})"}));
    EXPECT_NE(j.err.find("option requires an argument -- 'q'\nerror: invalid option\n"), std::string::npos) << j.err;
    // The option is found wherever it stands, as a unique prefix too, but
    // not as another option's argument.
    const RunResult prefix = ctl({"--js", "-t"});
    EXPECT_EQ(prefix.out, R"({"action":"list_threats","threats":[],"outcome":"success"})" "\n");
    const RunResult argument = ctl({"-d", "--json"});
    EXPECT_EQ(argument.err, "error: --json not found\n");
}

TEST_F(KorvanectlJsonTest, EveryActionWithoutAService) {
    JsonRun j = ctl_json({"stray-word"});
    EXPECT_EQ(j.exit_code, 0);
    EXPECT_TRUE(j.objects.empty());
    EXPECT_EQ(j.err, "");
    j = ctl_json({});   // --json alone: the status
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"status","outcome":"failure"})"}));
    j = ctl_json({"-L", "abc"});
    EXPECT_EQ(j.exit_code, 0);
    EXPECT_EQ(j.err, "");
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"set_log_level","argument":"abc",)"
                                                   R"("error":"invalid log level value: abc","outcome":"invalid_level"})"}));
    j = ctl_json({"-t"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"list_threats","outcome":"no_state_file","threats":[]})"}));
    j = ctl_json({"--checkupdates"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"check_updates","outcome":"success"})"}));
    j = ctl_json({"-l", "-P", "-p", "-b", "-B"});
    EXPECT_EQ(j.err, "");
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"({"action":"start_background_scan","error":"request start background scan: failed","outcome":"failure"})",
        R"({"action":"stop_background_scan","error":"request stop background scan: failed","outcome":"failure"})",
        R"({"action":"get_log_level","error":"failed to request loglevel","outcome":"failure"})",
        R"({"action":"get_policy_time","error":"failed to get last policy update time","outcome":"failure"})",
        R"({"action":"check_policy","error":"Check policy updates request: failed","outcome":"failure"})"}));
}

TEST_F(KorvanectlJsonTest, ThreatListAsOneArrayOfRecords) {
    write_file(kStates, "{\n"
                        " \"/q\": {\"ID\": \"" + kIdA + "\", \"State\": 12},\n"
                        " \"/u\": {\"ID\": \"" + kIdB + "\", \"State\": 16},\n"
                        " \"/s\": {\"ID\": \"" + kIdA + "\", \"State\": \"8\"},\n"
                        " \"/noid\": {\"State\": 1},\n"
                        " \"/nostate\": {\"ID\": \"" + kIdA + "\"},\n"
                        " \"/a\": {\"ID\": \"" + kIdB + "\", \"State\": 2}\n"
                        "}\n");
    JsonRun j = ctl_json({"-t"});
    EXPECT_EQ(j.exit_code, 0);
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"({"action":"list_threats","outcome":"success","threats":[)"
        R"({"id":")" + kIdA + R"(","path":"/q","state":"Quarantined"},)"
        R"({"id":")" + kIdB + R"(","path":"/u","state":"Unknown"},)"
        R"({"id":")" + kIdA + R"(","path":"/s","state":"Quarantined"},)"
        R"({"id":")" + kIdB + R"(","path":"/a","state":"Abnormal"}]})"}));
    write_file(kStates, "{}");
    j = ctl_json({"-t"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"list_threats","outcome":"success","threats":[]})"}));
    write_file(kStates, "[1, 2]");
    j = ctl_json({"-t"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"list_threats","outcome":"unreadable_state_file","threats":[]})"}));
}

TEST_F(KorvanectlJsonTest, PathsKeepControlBytesEscapedAndInvalidUtf8Replaced) {
    write_file(kStates, "{\"/tmp/evil\\u001b[2J\\nforged\": {\"ID\": \"" + kIdA + "\", \"State\": 1},"
                        " \"/tmp/caf\xe9\": {\"ID\": \"" + kIdB + "\", \"State\": 4}}");
    const JsonRun j = ctl_json({"-t"});
    ASSERT_EQ(j.objects.size(), 1u) << j.raw;
    EXPECT_EQ(std::count(j.raw.begin(), j.raw.end(), '\n'), 1) << j.raw;   // the newline stays escaped
    EXPECT_EQ(jq_field(j.objects[0], ".threats[0].path"), "/tmp/evil\x1b[2J\nforged");
    // A Latin-1 name is not UTF-8: its byte is replaced, so the line stays JSON.
    EXPECT_EQ(j.raw.find('\xe9'), std::string::npos) << j.raw;
    EXPECT_EQ(jq_field(j.objects[0], ".threats[1].path"), "/tmp/caf\xef\xbf\xbd");
    EXPECT_EQ(jq_field(j.objects[0], ".threats[1].state"), "Waived");
}

TEST_F(KorvanectlJsonTest, QueriesAndRequestsAgainstTheAgent) {
    write_file(kStates, sample_states());
    start_agent();
    JsonRun j = ctl_json({"-s", "-P", "-p", "-b", "-B", "-l"});
    EXPECT_EQ(j.exit_code, 0);
    EXPECT_EQ(j.err, "");
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"j({"action":"status","outcome":"success","policy":"Default Policy (Local Policy)"})j",
        R"({"action":"start_background_scan","outcome":"success"})",
        R"({"action":"stop_background_scan","outcome":"success"})",
        R"({"action":"get_log_level","level":3,"outcome":"success"})",
        R"({"action":"get_policy_time","outcome":"success","time":"2026-12-01 08:00:00"})",
        R"({"action":"check_policy","outcome":"success"})"}));
    j = ctl_json({"-L", "-1"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"({"action":"set_log_level","level":4294967295,"outcome":"success","requested_level":4294967295})"}));
}

TEST_F(KorvanectlJsonTest, ScanDirectoryOutcomes) {
    start_agent();
    std::filesystem::create_directories("/tmp/scan/real/sub");
    write_file("/tmp/scan/file", "x");
    const JsonRun j = ctl_json({"-d", "/tmp/scan/file"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"scan_directory","argument":"/tmp/scan/file",)"
                                                   R"("error":"/tmp/scan/file not a directory","outcome":"not_a_directory"})"}));
    EXPECT_EQ(ctl_json({"-d", "/tmp/scan/none"}).objects,
              (std::vector<std::string>{R"({"action":"scan_directory","argument":"/tmp/scan/none",)"
                                        R"("error":"/tmp/scan/none not found","outcome":"not_found"})"}));
    EXPECT_EQ(ctl_json({"-d", "real/sub/.."}, false, "/tmp/scan").objects,
              (std::vector<std::string>{R"({"action":"scan_directory","argument":"real/sub/..",)"
                                        R"("directory":"/tmp/scan/real","outcome":"success"})"}));
    const std::string evil = "/tmp/x\", \"CMD_\": \"THRT\"";
    std::filesystem::create_directories(evil);
    const JsonRun hostile = ctl_json({"-d", evil}, true);
    ASSERT_EQ(hostile.objects.size(), 1u) << hostile.raw;
    EXPECT_EQ(jq_field(hostile.objects[0], ".directory"), evil);
    EXPECT_EQ(jq_field(hostile.objects[0], ".outcome"), "success");
}

TEST_F(KorvanectlJsonTest, QuarantineWaiveAndPrivileges) {
    write_file(kStates, sample_states());
    start_agent();
    const std::string short_id = kIdA.substr(0, 63), unknown(64, 'e');
    JsonRun j = ctl_json({"-q", short_id, "-w", unknown});
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"({"action":"quarantine","error":"Invalid file id: )" + short_id + R"(","id":")" + short_id + R"(","outcome":"invalid_id"})",
        R"({"action":"waive","error":"Unknown file id ()" + unknown + R"(), get threats list with '-t'","id":")" + unknown +
            R"(","outcome":"unknown_id"})"}));
    j = ctl_json({"-L", "3", "-q", kIdA, "-l"}, true);
    EXPECT_EQ(j.exit_code, 0);
    EXPECT_EQ(j.err, "");
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"({"action":"get_log_level","level":3,"outcome":"success"})",
        R"({"action":"set_log_level","error":"root privileges required","outcome":"not_root","requested_level":3})",
        R"({"action":"quarantine","error":"root privileges required","id":")" + kIdA + R"(","outcome":"not_root"})"}));
    EXPECT_EQ(read_file(kStates), sample_states());
    j = ctl_json({"-w", kIdA, "-q", kIdA});
    EXPECT_EQ(j.objects, (std::vector<std::string>{
        R"({"action":"quarantine","id":")" + kIdA + R"(","outcome":"success"})",
        R"({"action":"waive","id":")" + kIdA + R"(","outcome":"success"})"}));
}

TEST_F(KorvanectlJsonTest, SetLevelReadBackFailure) {
    kv::test::ServicePeer peer;
    peer.set_reply(R"({ "CMD_":"SLOG", "VALU":"9" })", kv::test::PeerReply::Text(R"({"RESP":"OK"})"));
    peer.set_reply(kv::svc::kCmdGetLogLevel, kv::test::PeerReply{kv::test::PeerReply::Kind::error, "gone"});
    ASSERT_EQ(peer.start(), 0);
    const JsonRun j = ctl_json({"-L", "9"});
    EXPECT_EQ(j.objects, (std::vector<std::string>{R"({"action":"set_log_level","error":"failed to set loglevel to 9",)"
                                                   R"("outcome":"failure","requested_level":9})"}));
}

}  // namespace
