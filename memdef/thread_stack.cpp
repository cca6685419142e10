// Stack records of the calling thread.
#include "thread_stack.hpp"

#include <pthread.h>

namespace kv::md {

void init_stack_for_thread() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        t_state.stack_low = reinterpret_cast<std::uintptr_t>(low);
        t_state.stack_size = size;
    }
    (void)pthread_attr_destroy(&attr);
}

bool stack_data(std::uintptr_t& ret_low, std::size_t& ret_size) noexcept {
    if (t_state.stack_low == 0 || t_state.stack_size == 0)
        return false;
    ret_low = t_state.stack_low;
    ret_size = t_state.stack_size;
    return true;
}

std::size_t stack_size_or_default() noexcept {
    return t_state.stack_size != 0 ? t_state.stack_size : kDefaultStackSize;
}

}  // namespace kv::md
