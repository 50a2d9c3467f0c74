// The service's Win32 calls seen one by one (sim::Machine::SetCallObserver): counted, optionally
// recorded with their call stacks, and one of them chosen to be held (the service then stands still in
// the middle of whatever it was doing, while the test acts) or to fail with the error a real system
// would give (sim/fault_errors.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"

namespace soak {

using Stack = std::vector<void*>;  // return addresses, innermost first

class ServiceCallHook {
public:
    // Observes the calls of every process started from `image` on `machine` until destroyed.
    explicit ServiceCallHook(sim::Machine& machine, std::string image = "QuillonVADService.exe");
    ~ServiceCallHook();
    ServiceCallHook(const ServiceCallHook&) = delete;
    ServiceCallHook& operator=(const ServiceCallHook&) = delete;

    // Calls observed so far, over every instance of the program.
    std::uint64_t Calls() const { return calls_.load(); }

    // What happens to one chosen call.
    struct Action {
        std::uint32_t stallMs = 0;
        bool fail = false;
        DWORD error = 0;  // with `fail`: 0 takes the function's first realistic error
    };
    // The `n`-th call from now (1: the next one), of any instance.
    void ArmAfter(std::uint64_t n, Action action);
    // The `occurrence`-th call (from 1) of `function` in the first instance of the program. Calls of one
    // function keep their order from run to run better than the process's calls as a whole, whose
    // threads interleave differently.
    void ArmAtOccurrence(const std::string& function, std::uint64_t occurrence, Action action);
    void Disarm();

    // The chosen call, once it came.
    struct Fired {
        std::uint64_t number = 0;  // in its process
        std::string function;
        DWORD error = 0;  // the error it failed with (0: it was only held)
        Stack stack;
    };
    bool HasFired() const { return fired_.load(); }
    Fired FiredCall() const;

    // Recording of every call (function and stack) of the first instance, in call-number order.
    struct Recorded {
        std::string function;
        std::uint64_t occurrence = 0;  // of its function
        std::uint32_t stack = 0;       // index into Stacks()
    };
    void Record(bool on);
    std::vector<Recorded> Recording() const;
    std::vector<Stack> Stacks() const;

private:
    sim::Machine::CallFate Observe(sim::Process& process, const char* function, std::uint64_t number);

    sim::Machine& machine_;
    std::string image_;
    std::atomic<std::uint64_t> calls_{0};
    std::atomic<bool> fired_{false};
    mutable std::mutex mutex_;
    const sim::Process* first_ = nullptr;
    std::map<std::string, std::uint64_t> occurrences_;  // of the first instance, per function
    bool armed_ = false;
    std::string targetFunction_;  // empty: the target counts every call of any instance
    std::uint64_t target_ = 0;
    Action action_;
    Fired firedCall_;
    bool recording_ = false;
    std::vector<Recorded> recorded_;
    std::map<Stack, std::uint32_t> stackIds_;
    std::vector<Stack> stacks_;
};

// Function names of code addresses of this program ("CKsPin::SetState(KSSTATE)"; "?" when unknown),
// one lookup for all of them (addr2line over the program's symbol table).
std::map<void*, std::string> FunctionNames(const std::vector<void*>& addresses);

// The product call site of a Win32 call from its stack: the function that made the call and the one
// that called it ("CKsIrpTarget::SyncIoctl < CKsPin::SetState"), "?" when the Win32 function's own frame
// is not on the stack. COM methods are named "Interface::Method".
std::string CallSite(const Stack& stack, const std::string& function, const std::map<void*, std::string>& names);

// The first stack capture loads the unwinder, and the first name lookup makes the loader's and the
// pipe's lasting allocations: done once, before anything is measured.
void WarmUpStacks();

// Every frame's function name, innermost first (for classifying where the service stood).
std::vector<std::string> StackNames(const Stack& stack, const std::map<void*, std::string>& names);

}  // namespace soak
