// sim::Fiber: a stack of its own and the place to resume it. On the virtual clock the machine runs its
// simulated threads as fibers on the one OS thread that created it and switches between them itself:
// a switch costs about as much as a function call, where handing the processor from one OS thread to
// another costs microseconds, and which thread runs next is the machine's choice, never the host
// scheduler's. AddressSanitizer is told about every switch, so it keeps finding stack errors.
#pragma once

#include <cstddef>

namespace sim {

class Fiber {
public:
    using Entry = void (*)(void* arg);

    // The calling OS thread's own stack, as a fiber that others switch back to.
    Fiber();
    // A new fiber with a stack of `stackSize` bytes (and a guard page below it); it starts in
    // entry(arg) when first switched to. The entry never returns: it ends with ExitTo.
    Fiber(std::size_t stackSize, Entry entry, void* arg);
    ~Fiber();  // frees the stack; the fiber must not be the one running
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Switches from this fiber, which must be the one running, to `to`; returns when some fiber
    // switches back to this one.
    void SwitchTo(Fiber& to);
    // Switches to `to` for good: this fiber has ended and its stack may be freed once `to` runs.
    [[noreturn]] void ExitTo(Fiber& to);

private:
    friend struct FiberAccess;
    void Arrive(void* transfer);  // on resuming: `transfer` is the jump that brought us here

    void* context_ = nullptr;  // where to resume; null while running
    void* stack_ = nullptr;    // mapping: guard page, then the stack (null for an OS thread's own)
    std::size_t mapped_ = 0;
    const void* stackBottom_ = nullptr;  // the usable stack, for the sanitizer
    std::size_t stackSize_ = 0;
    void* fakeStack_ = nullptr;  // AddressSanitizer's saved fake stack while switched out
    Entry entry_ = nullptr;
    void* arg_ = nullptr;
    Fiber* switchTo_ = nullptr;  // where this fiber's last switch went (a new fiber learns itself from it)
    bool ended_ = false;         // left by ExitTo: no frame is live on its stack
};

}  // namespace sim
