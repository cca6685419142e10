// Processes of the machine as /proc shows them: lists, parents, executables,
// loaded executable files, and ending a process.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kv::helper {

// Ids of all processes; stores at most *count, sets *count to the number
// found (0 when /proc cannot be read). 0, or -errno.
int list_processes(int* pids, int* count) noexcept;
// The same, only processes whose parent is `parent`.
int list_child_processes(unsigned long parent, int* pids, int* count) noexcept;
// The "PPid:" of /proc/<pid>/status: 0, or -errno.
int read_parent_pid(unsigned long pid, unsigned long* ret_parent) noexcept;
// The effective uid of `pid` ("Uid:" of its status file), or -1.
int process_owner_uid(pid_t pid) noexcept;

// Whether the executable of `pid` is a 64-bit ELF file.
bool is_process_64bit(int pid) noexcept;
// Whether a process `pid` exists and may be signalled (pid > 0).
bool is_process_running(int pid) noexcept;

// The executable path of `pid` (the /proc link). Copied, terminated, when
// shorter than *size; *size becomes its length. 0, or -errno.
int process_full_path(int pid, char* buffer, std::size_t* size) noexcept;

// The executable files mapped by `pid` (see the export for the layout).
// 0, or -errno when its map cannot be read.
int process_modules(unsigned int pid, char* buffer, std::size_t* size) noexcept;

// SIGTERM to the process group of `pid`, or to `pid` alone when that group
// is 1, 0 or the caller's own. kill's result; -1 with EINVAL for pid <= 1.
int terminate_process(int pid) noexcept;

}  // namespace kv::helper
