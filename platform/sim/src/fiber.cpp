#include "platform/sim/include/sim/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SIM_ASAN 1
#endif
#if defined(QUILLON_SIM_ASAN)
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
    stack_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                  -1, 0);
    if (stack_ == MAP_FAILED) Fatal("no memory for a stack");
    if (mprotect(stack_, page, PROT_NONE) != 0) Fatal("the guard page could not be set");  // an overflow faults
    stackBottom_ = static_cast<char*>(stack_) + page;
    // A few zeroed words above the first frame: a stack walk (the spin report's backtrace) ends on them
    // instead of reading past the mapping.
    constexpr std::size_t kTopPad = 256;
    context_ = ctx::make_fcontext(static_cast<char*>(stack_) + mapped_ - kTopPad, stackSize_ - kTopPad,
                                  &FiberAccess::Start);
}

Fiber::~Fiber() {
    if (stack_) munmap(stack_, mapped_);
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
