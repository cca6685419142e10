// The tray programs' process ids exported; both helper libraries build it.
#include "kvhelper.h"
#include "pid_list.hpp"

using namespace kv::helper;

extern "C" {

KV_EXPORT int get_array_of_pids(int* pids, unsigned int* count) noexcept {
    return tray_pids(pids, count) == 0 ? 1 : 0;
}

}  // extern "C"
