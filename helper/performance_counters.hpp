// Resource use of the calling process: processor use over an interval,
// memory, descriptors, threads and event counts, from /proc/self and the
// process's resource usage.
#pragma once

#include <cstdint>

namespace kv::helper {

inline constexpr int kCpuValues = 5;
inline constexpr int kMemoryValues = 4;
inline constexpr int kDescriptorValues = 2;
inline constexpr int kMiscValues = 1;
inline constexpr int kEventValues = 3;
// The sample length of cpu_usages, in seconds.
inline constexpr unsigned kCpuSampleSeconds = 3;

// Stores the start time and the processors online; returns that count.
int initialize_counters() noexcept;

// User and kernel time of the process over the next `seconds` (it sleeps
// that long), in percent of the wall time. 0, or -errno.
int cpu_percentage_over(unsigned seconds, double* ret_user, double* ret_kernel) noexcept;

// Each fills values[0..count) as its record lays out and returns 0;
// -EINVAL for a record shorter than its minimum (nothing is waited for or
// stored), -errno / -ENOENT when the facts cannot be read.
int cpu_usages(std::uint64_t* values, int count) noexcept;
int memory_statistics(std::uint64_t* values, int count) noexcept;
int descriptor_counts(std::uint64_t* values, int count) noexcept;
int misc_statistics(std::uint64_t* values, int count) noexcept;
int event_statistics(std::uint64_t* values, int count) noexcept;

}  // namespace kv::helper
