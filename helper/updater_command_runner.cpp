// The updater's runner on the shared ShellCommand.
#include "updater_command_runner.hpp"

#include <cerrno>
#include <cstdio>

#include "command_runner.hpp"
#include "log.hpp"

namespace kv::helper {

CommandReport run_updater_command(const char* text) noexcept {
    CommandReport report;
    if (text == nullptr)
        return report;
    char line[kUpdaterOutputSize] = {};
    ShellCommand command;
    if (command.start(text) != 0) {
        (void)std::snprintf(line, sizeof line, "popen failed for cmd %s.", text);
    } else {
        report.started = true;
        (void)command.read_line(line, sizeof line);
        // wait() reads the rest to its end before it reaps the shell.
        int status = 0;
        const int waited = command.wait(&status);
        if (waited == 0)
            report.status = status;
        else if (waited == -ECHILD && sigchld_ignored())
            report.status = 0;
    }
    report.first_line = line;
    if (line[0] != '\0')
        log_as(kUpdaterLogIdent, LOG_DAEMON | LOG_ERR, "%s", line);
    return report;
}

}  // namespace kv::helper
