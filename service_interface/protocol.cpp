// The broadcast name list and its lookup.
#include "protocol.hpp"

#include <cstring>

namespace kv::svc {

const char* const kSignalNames[kSignalCount + 1] = {
    "com.korvane.agent.started",
    "com.korvane.agent.stopped",
    "com.korvane.agent.running",
    "com.korvane.tarnel.connected",
    "com.korvane.tarnel.notconnected",
    "com.korvane.tarnel.host.status",
    "com.korvane.ormaline.connected",
    "com.korvane.ormaline.notconnected",
    "com.korvane.exe.blocked",
    "com.korvane.timer.aggregated_messages",
    "com.korvane.process.terminated",
    "com.korvane.process.blocked",
    "com.korvane.analyerstatus_messages",
    "com.korvane.policy.expired",
    "com.korvane.policy.invalidcompanyid",
    "com.korvane.policy.invalidsignature",
    "com.korvane.appcontrol",
    "com.korvane.driver.connected",
    "com.korvane.driver.notconnected",
    "com.korvane.logupload_inprogress",
    "com.korvane.logupload_idle",
    "com.korvane.logupload_failed",
    "com.korvane.eventupload_inprogress",
    "com.korvane.eventupload_idle",
    "com.korvane.eventupload_failed",
    "com.korvane.btdscancomplete",
    nullptr,
};

int signal_index(const char* name) noexcept {
    if (name == nullptr)
        return kSignalCount;
    int i = 0;
    for (; kSignalNames[i] != nullptr; ++i) {
        if (std::strcmp(kSignalNames[i], name) == 0)
            break;
    }
    return i;
}

}  // namespace kv::svc
