// Exported control of the tray programs, the service, the driver and the
// updater, and the command runner: each Kv… name forwards to its plain
// export, which checks its arguments and translates the module's codes.
#include <cerrno>

#include "command_runner.hpp"
#include "driver_control.hpp"
#include "kvhelper.h"
#include "service_control.hpp"
#include "tray_control.hpp"
#include "updater_launch.hpp"

using namespace kv::helper;

extern "C" {

KV_EXPORT int execute_cmd(const char* command, char* output, size_t size, KvCommandOutputReader reader) noexcept {
    return execute_command(command, output, size, reader);
}

KV_EXPORT int StartKvUI(const int* uids, int count) noexcept {
    start_trays(uids, count);
    return 1;
}
KV_EXPORT int KvStartKvUI(const int* uids, int count) noexcept { return StartKvUI(uids, count); }

KV_EXPORT int StopKvUI(int* uids, unsigned int* count) noexcept { return stop_trays(uids, count) == 0 ? 1 : 0; }
KV_EXPORT int KvStopKvUI(int* uids, unsigned int* count) noexcept { return StopKvUI(uids, count); }

KV_EXPORT int StartKvService(void) noexcept { return start_agent_service() ? 1 : 0; }
KV_EXPORT int KvStartKvService(void) noexcept { return StartKvService(); }
KV_EXPORT int StopKvService(void) noexcept { return stop_agent_service() ? 1 : 0; }
KV_EXPORT int KvStopKvService(void) noexcept { return StopKvService(); }

KV_EXPORT int StartKvDriver(void) noexcept { return start_driver() ? 1 : 0; }
KV_EXPORT int KvStartKvKext(void) noexcept { return StartKvDriver(); }
KV_EXPORT int StopKvDriver(void) noexcept { return stop_driver() ? 1 : 0; }
KV_EXPORT int KvStopKvKext(void) noexcept { return StopKvDriver(); }

KV_EXPORT int StartKvUpdater(const char* marker, const char* return_dir, const char* first,
                             const char* second) noexcept {
    return start_updater(marker, return_dir, first, second) == 0 ? 1 : 0;
}
KV_EXPORT int KvStartKvUpdater(const char* marker, const char* return_dir, const char* first,
                               const char* second) noexcept {
    return StartKvUpdater(marker, return_dir, first, second);
}

}  // extern "C"
