// The updater's runner on the shared ShellCommand.
#include "updater_command_runner.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

#include "command_runner.hpp"
#include "log.hpp"

namespace kv::helper {

void run_updater_command(const char* text, UpdaterCommandOutcome& ret_outcome) noexcept {
    ret_outcome = UpdaterCommandOutcome{};
    if (text == nullptr)
        return;
    ShellCommand command;
    if (command.start(text) != 0) {
        (void)std::snprintf(ret_outcome.first_line, sizeof ret_outcome.first_line, "popen failed for cmd %s.", text);
    } else {
        ret_outcome.started = true;
        ret_outcome.printed = command.read_line(ret_outcome.first_line, sizeof ret_outcome.first_line);
        // wait() reads the rest to its end first: closing the pipe early
        // would end a writer such as tar with SIGPIPE halfway through.
        int status = 0;
        const int waited = command.wait(&status);
        if (waited == 0)
            ret_outcome.wait_status = status;
        else if (waited == -ECHILD && sigchld_ignored())
            ret_outcome.wait_status = 0;
    }
    if (ret_outcome.first_line[0] != '\0')
        log_as(kUpdaterLogIdent, LOG_DAEMON | LOG_ERR, "%s", ret_outcome.first_line);
}

bool updater_command_succeeded(const UpdaterCommandOutcome& outcome) noexcept {
    return outcome.started && !outcome.printed && outcome.wait_status != -1 && WIFEXITED(outcome.wait_status) &&
           WEXITSTATUS(outcome.wait_status) == 0;
}

}  // namespace kv::helper
