// Test children that leave with _exit skip the exit handlers that write
// gcc's coverage counters, so what they ran would be missing from the
// coverage report. In a coverage build a child clears the counters it
// inherited when it starts (the parent writes those itself) and writes its
// own before _exit; in every other build these do nothing. They reach the
// counters of the test program and the static libraries linked into it: a
// shared library keeps its own, which only its exit handler writes.
#pragma once

#ifdef KV_COVERAGE_BUILD
extern "C" void __gcov_reset(void);
extern "C" void __gcov_dump(void);
#endif

namespace kv::test {

inline void coverage_child_started() {
#ifdef KV_COVERAGE_BUILD
    __gcov_reset();
#endif
}

inline void coverage_child_leaving() {
#ifdef KV_COVERAGE_BUILD
    __gcov_dump();
#endif
}

}  // namespace kv::test
