// The updater's runner with real shell commands: what counts as success
// under its policy, what it logs as "KvCEFHelper", and that a command's
// whole output is read before the status is collected.
#include "updater_command_runner.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "namespace_test.hpp"
#include "process.hpp"

namespace {

using kv::helper::command_succeeded;
using kv::helper::kUpdaterExtractPolicy;
using kv::helper::run_updater_command;

class UpdaterCommandRunner : public kv::test::NamespaceLogTest {};

TEST_F(UpdaterCommandRunner, SuccessIsSilenceAndStatusZero) {
    struct Case {
        const char* command;
        bool succeeded;
        int exit_code;
        const char* first_line;
    } cases[] = {
        {"true", true, 0, ""},
        // Fails without a word: its status alone tells.
        {"exit 3", false, 3, ""},
        {"false", false, 1, ""},
        // Succeeds, but says something: a warning is a failure here.
        {"echo 'tar: Removing leading / from member names'", false, 0,
         "tar: Removing leading / from member names\n"},
        {"printf 'no line feed'", false, 0, "no line feed"},
        // Only standard output is read; standard error is not output here.
        {"echo quiet >&2", true, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const kv::helper::CommandReport report = run_updater_command(c.command);
        EXPECT_TRUE(report.started);
        ASSERT_TRUE(WIFEXITED(report.status));
        EXPECT_EQ(WEXITSTATUS(report.status), c.exit_code);
        EXPECT_EQ(report.first_line, c.first_line);
        EXPECT_EQ(command_succeeded(kUpdaterExtractPolicy, report), c.succeeded);
    }
}

TEST_F(UpdaterCommandRunner, LogsTheFirstLineAsKvCefHelperAtErrorPriority) {
    (void)run_updater_command("echo first; echo second");
    (void)run_updater_command("true");
    (void)run_updater_command("exit 4");
    ASSERT_TRUE(log_->wait_for("first", std::chrono::seconds(5)));
    std::vector<kv::test::LogLine> lines = log_->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].ident.substr(0, lines[0].ident.find('[')), "KvCEFHelper");
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].facility, LOG_DAEMON);
}

TEST_F(UpdaterCommandRunner, FirstLineIsBoundedTo2047Characters) {
    const kv::helper::CommandReport report = run_updater_command("printf '%3000s\\n' '' | tr ' ' x");
    EXPECT_EQ(report.first_line, std::string(2047, 'x'));
}

TEST_F(UpdaterCommandRunner, LongOutputIsReadToItsEndBeforeTheWait) {
    // A writer whose pipe is closed after the first line dies of SIGPIPE
    // and the marker is never written; drained, the command completes.
    kv::test::TempDir dir("kvcefrun");
    const std::string marker = dir.file("marker");
    const std::string command =
        "head -c 1048576 /dev/zero | tr '\\0' 'x' | fold -w 100 && touch '" + marker + "' && exit 0";
    const kv::helper::CommandReport report = run_updater_command(command.c_str());
    EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "the command was cut off";
    ASSERT_TRUE(WIFEXITED(report.status));
    EXPECT_EQ(WEXITSTATUS(report.status), 0);
    EXPECT_EQ(report.first_line, std::string(100, 'x') + "\n");
    EXPECT_FALSE(command_succeeded(kUpdaterExtractPolicy, report));
}

}  // namespace
