// The replacements and the thread start wrapper. Hook path rules: no
// allocation, no stdio, errno unchanged except where a refused call sets
// the documented one; in_hook cuts off recursion per thread, and no lock
// is held while the overridden function runs or an event is reported.
#include "replacements.hpp"

#include <stdarg.h>
#include <sys/mman.h>
#include <time.h>

#include <cerrno>

#include "injector.hpp"
#include "md_export.hpp"
#include "memdef.h"
#include "memory.hpp"
#include "report.hpp"
#include "stack_lookup.hpp"
#include "thread_stack.hpp"

namespace kv::md {
namespace {

using MmapFn = void* (*)(void*, std::size_t, int, int, int, long);
using MprotectFn = int (*)(void*, std::size_t, int);
using MremapFn = void* (*)(void*, std::size_t, std::size_t, int, ...);
using RemapFilePagesFn = int (*)(void*, std::size_t, int, std::size_t, int);
using PthreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

constexpr int kProtExec = 4;
constexpr int kRemapCheckedFlag = 4;

struct ThreadSlot {
    void* (*routine)(void*);     // null: free
    void* argument;
};

// The slot mutex is never destroyed: threads may be created at any time,
// after shutdown too.
constinit pthread_mutex_t g_slot_mutex = PTHREAD_MUTEX_INITIALIZER;
constinit ThreadSlot g_slots[kThreadSlots] = {};

// The passthrough, or the C library's own entry when the record was never
// resolved (then the entry is not patched either).
template <class Fn>
Fn passthrough(std::size_t position, Fn own) noexcept {
    void* p = inject_passthrough(position);
    return p != nullptr ? reinterpret_cast<Fn>(p) : own;
}

// The reports of the common frame, off the fast path: in_hook is set while
// they run, so hooked calls made by the reporting itself pass through.
[[gnu::noinline, gnu::cold]] bool report_violations(const char* name, std::uintptr_t sp, bool pivot, bool protect,
                                                    void* address, std::size_t size, int protection) noexcept {
    ErrnoKeeper keep;
    t_state.in_hook = 1;
    bool refuse = false;
    if (pivot)
        refuse = report_stack_pivot(name, reinterpret_cast<void*>(sp)) == MEMDEF_ACTION_REFUSE;
    if (!refuse && protect)
        refuse = report_stack_protect(name, address, size, protection) == MEMDEF_ACTION_REFUSE;
    t_state.in_hook = 0;
    return refuse;
}

bool raises_protect(bool check_protect, void* address, std::size_t size, int protection) noexcept {
    return check_protect && (protection & kProtExec) != 0 &&
           overlaps_stack(reinterpret_cast<std::uintptr_t>(address), size);
}

// The common frame: true when the call is to be refused. The StackProtect
// check runs when `check_protect` is set.
bool refused(const char* name, std::uintptr_t sp, bool check_protect, void* address, std::size_t size,
             int protection) noexcept {
    if (g_HooksEnabled.load(std::memory_order_relaxed) == 0 || t_state.in_hook != 0 || stacklookup_check(sp))
        return false;
    const bool pivot = !is_local_stack_ptr(sp);
    const bool protect = raises_protect(check_protect, address, size, protection);
    if (!pivot && !protect)
        return false;
    return report_violations(name, sp, pivot, protect, address, size, protection);
}

// The common frame's answer for a call that raises nothing and has no
// registered frame to look at: the usual case, decided inline with a few
// loads so that the replacement passes straight on. Anything else takes
// the full frame.
[[gnu::always_inline]] inline bool passes_quietly(std::uintptr_t sp, bool check_protect, void* address,
                                                  std::size_t size, int protection) noexcept {
    if (g_HooksEnabled.load(std::memory_order_relaxed) == 0 || t_state.in_hook != 0)
        return true;
    return g_stacklookup_count.load(std::memory_order_acquire) == 0 && is_local_stack_ptr(sp) &&
           !raises_protect(check_protect, address, size, protection);
}

// The current stack position, without forcing a frame pointer.
[[gnu::always_inline]] inline std::uintptr_t stack_position() noexcept {
    std::uintptr_t sp;
#if defined(__x86_64__)
    asm volatile("movq %%rsp, %0" : "=r"(sp));
#else
    asm volatile("movl %%esp, %0" : "=r"(sp));
#endif
    return sp;
}

// Inlined, so the address is the calling function's own frame.
[[gnu::always_inline]] inline std::uintptr_t frame() noexcept {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

void* memdef_thread_start(void* slot_pointer) noexcept {
    const std::uintptr_t own = frame();
    (void)stacklookup_add(own);
    t_state.in_hook = 1;
    stacklookup_remove(own);
    auto* slot = static_cast<ThreadSlot*>(slot_pointer);
    (void)pthread_mutex_lock(&g_slot_mutex);
    void* (*routine)(void*) = slot->routine;
    void* argument = slot->argument;
    slot->routine = nullptr;
    (void)pthread_mutex_unlock(&g_slot_mutex);
    init_stack_for_thread();
    t_state.in_hook = 0;
    return routine(argument);
}

ThreadSlot* take_slot(void* (*routine)(void*), void* argument) noexcept {
    ThreadSlot* taken = nullptr;
    (void)pthread_mutex_lock(&g_slot_mutex);
    for (auto& slot : g_slots) {
        if (slot.routine == nullptr) {
            slot = ThreadSlot{routine, argument};
            taken = &slot;
            break;
        }
    }
    (void)pthread_mutex_unlock(&g_slot_mutex);
    return taken;
}

}  // namespace

bool is_local_stack_ptr(std::uintptr_t sp) noexcept {
    const std::uintptr_t low = t_state.stack_low;
    const std::size_t size = t_state.stack_size;
    if (low == 0 || size == 0)
        return true;
    return sp > low && sp - low <= size;
}

bool is_stack_region(std::uintptr_t address) noexcept {
    const std::uintptr_t low = t_state.stack_low;
    const std::size_t size = t_state.stack_size;
    return low != 0 && size != 0 && address > low && address - low <= size;
}

bool overlaps_stack(std::uintptr_t address, std::size_t length) noexcept {
    const std::uintptr_t low = t_state.stack_low;
    const std::size_t size = t_state.stack_size;
    if (low == 0 || size == 0 || length == 0)
        return false;
    return address >= low ? address - low < size : low - address < length;
}

namespace {

MmapFn real_mmap() noexcept { return passthrough<MmapFn>(kInjectMmap, reinterpret_cast<MmapFn>(&::mmap)); }
MprotectFn real_mprotect() noexcept { return passthrough<MprotectFn>(kInjectMprotect, &::mprotect); }
RemapFilePagesFn real_remap_file_pages() noexcept {
    return passthrough<RemapFilePagesFn>(kInjectRemapFilePages, &::remap_file_pages);
}

[[gnu::noinline]] void* checked_mmap(std::uintptr_t sp, void* addr, std::size_t length, int prot, int flags, int fd,
                                     long offset) noexcept {
    if (refused("mmap", sp, false, nullptr, 0, 0)) {
        errno = EACCES;
        return MAP_FAILED;
    }
    return real_mmap()(addr, length, prot, flags, fd, offset);
}

[[gnu::noinline]] int checked_mprotect(std::uintptr_t sp, void* addr, std::size_t len, int prot) noexcept {
    if (refused("mprotect", sp, true, addr, len, prot)) {
        errno = EACCES;
        return -1;
    }
    return real_mprotect()(addr, len, prot);
}

[[gnu::noinline]] int checked_remap_file_pages(std::uintptr_t sp, void* addr, std::size_t size, int prot,
                                               std::size_t pgoff, int flags) noexcept {
    if (refused("remap_file_pages", sp, false, nullptr, 0, 0)) {
        errno = EACCES;
        return -1;
    }
    return real_remap_file_pages()(addr, size, prot, pgoff, flags);
}

}  // namespace

void* memdef_mmap(void* addr, std::size_t length, int prot, int flags, int fd, long offset) noexcept {
    const std::uintptr_t sp = stack_position();
    if (passes_quietly(sp, false, nullptr, 0, 0))
        return real_mmap()(addr, length, prot, flags, fd, offset);
    return checked_mmap(sp, addr, length, prot, flags, fd, offset);
}

int memdef_mprotect(void* addr, std::size_t len, int prot) noexcept {
    const std::uintptr_t sp = stack_position();
    if (passes_quietly(sp, true, addr, len, prot))
        return real_mprotect()(addr, len, prot);
    return checked_mprotect(sp, addr, len, prot);
}

void* memdef_mremap(void* old_address, std::size_t old_size, std::size_t new_size, int flags, ...) noexcept {
    void* new_address = nullptr;
    if ((flags & MREMAP_FIXED) != 0) {
        va_list ap;
        va_start(ap, flags);
        new_address = va_arg(ap, void*);
        va_end(ap);
    }
    if (refused("mremap", stack_position(), (flags & kRemapCheckedFlag) != 0, old_address, old_size, flags)) {
        errno = EACCES;
        return MAP_FAILED;
    }
    const MremapFn real = passthrough<MremapFn>(kInjectMremap, &::mremap);
    if ((flags & MREMAP_FIXED) != 0)
        return real(old_address, old_size, new_size, flags, new_address);
    return real(old_address, old_size, new_size, flags);
}

int memdef_remap_file_pages(void* addr, std::size_t size, int prot, std::size_t pgoff, int flags) noexcept {
    const std::uintptr_t sp = stack_position();
    if (passes_quietly(sp, false, nullptr, 0, 0))
        return real_remap_file_pages()(addr, size, prot, pgoff, flags);
    return checked_remap_file_pages(sp, addr, size, prot, pgoff, flags);
}

int memdef_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start_routine)(void*),
                          void* arg) noexcept {
    if (refused("pthread_create", stack_position(), false, nullptr, 0, 0))
        return EPERM;
    ThreadSlot* slot = nullptr;
    while ((slot = take_slot(start_routine, arg)) == nullptr) {
        const timespec pause{0, 25000000};
        (void)nanosleep(&pause, nullptr);
    }
    const int r = passthrough<PthreadCreateFn>(kInjectPthreadCreate, &::pthread_create)(
        thread, attr, reinterpret_cast<void* (*)(void*)>(&memdef_thread_start), slot);
    if (r != 0) {      // no thread will ever free the slot
        (void)pthread_mutex_lock(&g_slot_mutex);
        slot->routine = nullptr;
        (void)pthread_mutex_unlock(&g_slot_mutex);
    }
    return r;
}

}  // namespace kv::md
