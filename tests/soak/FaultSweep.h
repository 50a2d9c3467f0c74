// Systematic fault injection over a scripted session of the service: start, console found and bridged,
// a little streaming, a latency switch, an unplug, then (the recovery check) a replug with exact audio
// again, an interrogation through the service manager and a stop. One run fails one Win32 call of the
// service with the error a real system gives for it, or holds a call that can block; each run lives in a
// child process of its own, so a crash, a sanitizer report or a hang ends that run only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/include/simwin/types.h"

namespace soak {

// One call of the clean session, as recorded.
struct SessionCall {
    std::string function;
    std::uint64_t occurrence = 0;  // of its function
    std::string site;              // product caller (CallSite)
};
// Every call the service made in a clean run of the session, in order, and whether that run passed
// every check (it must, or the sweep means nothing).
struct SessionProfile {
    std::vector<SessionCall> calls;
    std::string problems;  // "" for a clean run
};
SessionProfile RecordSession();

struct FaultPlan {
    std::string function;
    std::uint64_t occurrence = 0;
    DWORD error = 0;            // a failure with this error, or
    std::uint32_t stallMs = 0;  // a hold of this long
    std::string site;           // where the clean run made that call
    std::string Describe() const;
};

// The plan for a profile: "sites" (the first, a middle and the last call of every distinct site of a
// function that can fail, with its first realistic error, the first call again with every other one;
// waits, which fail only on handles that are not handles, are held but not failed;
// the first and last call of every site of a function that can block, held 300 ms and 12 s), "all"
// (every call of a function that can fail, with its first error), a number: that many runs drawn from
// the "sites" plan with `seed`, or one run to replay: "Function#occurrence", "...@ms" (held), "...=hex"
// (failing with that error).
std::vector<FaultPlan> MakePlan(const SessionProfile& profile, const std::string& breadth, std::uint64_t seed);

struct FaultResult {
    FaultPlan plan;
    bool fired = false;          // the planned call came
    std::string firedSite;       // where it came from
    std::string ending;          // how the child ended when not normally ("signal 11", "exit 1", "time-out")
    bool started = false;        // reported running
    bool recovered = false;      // bridged again with exact audio after the replug
    bool trayInformed = false;   // and the status block says so
    bool stoppedItself = false;  // ended on its own, having reported it stopped
    bool answered = false;       // answered an interrogation
    bool stopped = false;        // stopped within its bounded waits (or had reported so, ending itself)
    std::string leaks;           // what it left behind, heap included
    std::string audio;           // what was wrong with the audio in the recovery check
};

// Runs every plan, `jobs` children at a time, each bounded by `wallSeconds` of real time; `done` is told
// of each result as it comes.
std::vector<FaultResult> RunFaultPlans(const std::vector<FaultPlan>& plans, unsigned jobs, unsigned wallSeconds,
                                       const std::function<void(const FaultResult&)>& done);

}  // namespace soak
