// Loading and unloading the kernel driver: the loader script when the
// driver's sources are installed, else modprobe; version logging of the
// loaded modules and the check that the driver is gone.
#pragma once

namespace kv::helper {

bool start_driver() noexcept;
// Unloads with "modprobe -r"; true when the driver is gone from
// /proc/modules afterwards.
bool stop_driver() noexcept;
// Whether /proc/modules lists the driver module (logged).
bool driver_loaded() noexcept;

}  // namespace kv::helper
