// Fixed paths and names of the pieces the service starts and stops.
#pragma once

namespace kv::helper {

inline constexpr char kAgentServicePath[] = "/opt/korvane/desktop/korvanesvc";
inline constexpr char kTrayName[] = "korvaneui";
inline constexpr char kUpdaterDir[] = "/opt/korvane/desktop/updater_tmp";
inline constexpr char kUpdaterName[] = "kvupdate";
inline constexpr char kDriverSourceDir[] = "/usr/src/KvGuardDrv-1.2";
inline constexpr char kDriverModule[] = "KvGuardDrv";

// The runner's output buffer, and the bound of a command formed for one user.
inline constexpr unsigned kCommandOutputSize = 4096;
inline constexpr unsigned kUserCommandBound = 256;
// The bound of other formed commands.
inline constexpr unsigned kCommandBound = 4096;

}  // namespace kv::helper
