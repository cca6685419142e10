// Exported performance counters and watchdog controls; each Kv… name
// forwards to its plain export.
#include <cstdint>

#include "kvhelper.h"
#include "performance_counters.hpp"
#include "watchdog.hpp"

using namespace kv::helper;

extern "C" {

KV_EXPORT int InitializeCounters(void) noexcept { return initialize_counters(); }
KV_EXPORT int KvInitializePeroformanceCounters(void) noexcept { return InitializeCounters(); }

KV_EXPORT int GetCPUPercentageOverTime(unsigned int seconds, double* user, double* kernel) noexcept {
    return cpu_percentage_over(seconds, user, kernel) == 0 ? 0 : -1;
}

KV_EXPORT int GetCPUUsages(uint64_t* values, int count) noexcept { return cpu_usages(values, count) == 0 ? 1 : 0; }
KV_EXPORT int KvGetCPUsages(uint64_t* values, int count) noexcept { return GetCPUUsages(values, count); }

KV_EXPORT int GetMemoryStatistics(uint64_t* values, int count) noexcept {
    return memory_statistics(values, count) == 0 ? 1 : 0;
}
KV_EXPORT int KvGetMemoryStatistics(uint64_t* values, int count) noexcept {
    return GetMemoryStatistics(values, count);
}

KV_EXPORT int GetOpenedFileAndSockCnnections(uint64_t* values, int count) noexcept {
    return descriptor_counts(values, count) == 0 ? 1 : 0;
}
KV_EXPORT int KvGetOpenedFileAndSockCnnections(uint64_t* values, int count) noexcept {
    return GetOpenedFileAndSockCnnections(values, count);
}

KV_EXPORT int GetMiscStatistics(uint64_t* values, int count) noexcept {
    return misc_statistics(values, count) == 0 ? 1 : 0;
}
KV_EXPORT int KvGetMiscStatistics(uint64_t* values, int count) noexcept { return GetMiscStatistics(values, count); }

KV_EXPORT int GetEventStatistics(uint64_t* values, int count) noexcept {
    return event_statistics(values, count) == 0 ? 1 : 0;
}

KV_EXPORT void watchdog_keepalive(void) noexcept { watchdog_set_keepalive(); }
KV_EXPORT void KvDeadLockWatch(void) noexcept { watchdog_keepalive(); }
KV_EXPORT void watchdog_disable(void) noexcept { watchdog_set_disabled(); }
KV_EXPORT void KvDeadLockDisable(void) noexcept { watchdog_disable(); }
KV_EXPORT void watchdog_stop(void) noexcept { watchdog_set_disabled(); }
KV_EXPORT void KvDeadLockStop(void) noexcept { watchdog_stop(); }
KV_EXPORT void watchdog_updater_disable(void) noexcept { watchdog_set_checks_active(false); }
KV_EXPORT void watchdog_updater_enable(void) noexcept { watchdog_set_checks_active(true); }

KV_EXPORT int watchdog_deadlock(void) noexcept { return deadlock_score(); }
KV_EXPORT int watchdog_cpuuse(void) noexcept { return cpu_score(); }
KV_EXPORT int watchdog_memoryuse(void) noexcept { return memory_score(); }

KV_EXPORT void* watchdog_thread(void* arg) noexcept { return watchdog_main(arg); }

}  // extern "C"
