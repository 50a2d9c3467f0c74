#include "platform/sim/include/sim/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SIM_ASAN 1
#endif
#if defined(QUILLON_SIM_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {

namespace ctx = boost::context::detail;

namespace {

[[noreturn]] void Fatal(const char* what) {
    std::fprintf(stderr, "sim: fiber: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// Stacks of ended fibers, kept for the fibers started next. A thread's life is often shorter than
// mapping its stack, faulting in the pages it touches and unmapping it again (which flushes every core's
// TLB); a test that starts thousands of threads paid more for their stacks than for their work. A reused
// stack keeps its guard page and holds what its last thread left, as any stack on Windows does.
class StackPool {
public:
    static constexpr std::size_t kKept = 32;

    void* Take(std::size_t mapped) {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < count_; ++i) {
            if (stacks_[i].mapped != mapped) continue;
            void* stack = stacks_[i].stack;
            stacks_[i] = stacks_[--count_];
            return stack;
        }
        return nullptr;
    }
    bool Keep(void* stack, std::size_t mapped) {
        std::lock_guard lock(mutex_);
        if (count_ == kKept) return false;
        stacks_[count_++] = {stack, mapped};
        return true;
    }

private:
    struct Kept {
        void* stack;
        std::size_t mapped;
    };
    std::mutex mutex_;
    Kept stacks_[kKept] = {};  // no heap: the tests that count heap bytes around a machine see none of it
    std::size_t count_ = 0;
};

StackPool& Stacks() {
    // Never destroyed (fibers ended by static destructors still give their stacks back), and not on the
    // heap.
    alignas(StackPool) static unsigned char storage[sizeof(StackPool)];
    static StackPool* pool = new (storage) StackPool;
    return *pool;
}

// A few zeroed words above the first frame: a stack walk (the spin report's backtrace) ends on them
// instead of reading past the mapping.
constexpr std::size_t kTopPad = 256;

}  // namespace

struct FiberAccess {
    static void Start(ctx::transfer_t t) {
        Fiber* self = static_cast<Fiber*>(t.data)->switchTo_;
        self->Arrive(&t);
        self->entry_(self->arg_);
        Fatal("a fiber's entry returned");
    }
};

Fiber::Fiber() = default;

Fiber::Fiber(std::size_t stackSize, Entry entry, void* arg) : entry_(entry), arg_(arg) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    stackSize_ = (stackSize + page - 1) / page * page;
    mapped_ = stackSize_ + page;
    stack_ = Stacks().Take(mapped_);
    if (stack_) {
        std::memset(static_cast<char*>(stack_) + mapped_ - kTopPad, 0, kTopPad);
#if defined(QUILLON_SIM_ASAN)
        // A thread ends only by returning into FiberMain, which switches away for good: the few frames
        // still live then, at the top of the stack, may have left redzones poisoned; every frame below
        // them had returned and cleared its own.
        constexpr std::size_t kExitFrames = 64u << 10;
        const std::size_t clear = stackSize_ < kExitFrames ? stackSize_ : kExitFrames;
        __asan_unpoison_memory_region(static_cast<char*>(stack_) + mapped_ - clear, clear);
#endif
    } else {
        stack_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (stack_ == MAP_FAILED) Fatal("no memory for a stack");
        if (mprotect(stack_, page, PROT_NONE) != 0) Fatal("the guard page could not be set");  // an overflow faults
    }
    stackBottom_ = static_cast<char*>(stack_) + page;
    context_ = ctx::make_fcontext(static_cast<char*>(stack_) + mapped_ - kTopPad, stackSize_ - kTopPad,
                                  &FiberAccess::Start);
}

Fiber::~Fiber() {
    // Only the stack of a fiber that ended by ExitTo is kept: one destroyed while blocked (its process
    // terminated) still has frames on it, and their sanitizer redzones with them.
    if (stack_ && !(ended_ && Stacks().Keep(stack_, mapped_))) munmap(stack_, mapped_);
}

void Fiber::SwitchTo(Fiber& to) {
    switchTo_ = &to;
#if defined(QUILLON_SIM_ASAN)
    __sanitizer_start_switch_fiber(&fakeStack_, to.stackBottom_, to.stackSize_);
#endif
    ctx::transfer_t t = ctx::jump_fcontext(to.context_, this);
    Arrive(&t);
}

void Fiber::ExitTo(Fiber& to) {
    switchTo_ = &to;
    ended_ = true;
#if defined(QUILLON_SIM_ASAN)
    __sanitizer_start_switch_fiber(nullptr, to.stackBottom_, to.stackSize_);  // this stack's fake frames go
#endif
    ctx::jump_fcontext(to.context_, this);
    Fatal("an ended fiber was resumed");
}

void Fiber::Arrive(void* transfer) {
    auto* t = static_cast<ctx::transfer_t*>(transfer);
    // The fiber that left: an object, not its stack, which may be gone with its fake frames.
    Fiber* from = static_cast<Fiber*>(t->data);
#if defined(QUILLON_SIM_ASAN)
    const void* bottom = nullptr;
    std::size_t size = 0;
    __sanitizer_finish_switch_fiber(fakeStack_, &bottom, &size);
    if (!from->stack_) {  // an OS thread's own stack: its bounds are learnt here
        from->stackBottom_ = bottom;
        from->stackSize_ = size;
    }
#endif
    from->context_ = t->fctx;
    context_ = nullptr;
}

}  // namespace sim
