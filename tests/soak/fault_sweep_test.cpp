// Systematic fault injection (FaultSweep.h): every distinct call site of the service fails once with the
// error a real system would give, and every call that can block is held, in a scripted session. After
// each run the service must not have crashed, hung or leaked, must still answer the service manager and
// stop within its bounded waits, and must bridge again with exact audio once the console is plugged in
// again: every failure here is transient.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include "platform/sim/include/sim/fault_errors.h"
#include "tests/soak/FaultSweep.h"
#include "tests/soak/SoakOptions.h"

namespace soak {
namespace {

// What the service is built not to recover from: the failed function, a part of its product call site
// (call sites are named by the functions on the stack, which inlining changes from build to build), and
// the reason. A run that ends this way is listed, not failed; any other failure to recover fails the sweep.
struct KnownEnding {
    const char* function;
    const char* site;
    const char* reason;
};
constexpr KnownEnding kKnownEndings[] = {
    {"RegisterServiceCtrlHandlerExW", "",
     "without a control handler the service has nowhere to report to: its main function returns at once and "
     "the service manager's start time-out ends the start"},
    {"CreateEventW", "ServiceMain",
     "stops itself with a service-specific error (the service manager's recovery actions restart it): without "
     "its stop event the worker could never be told to stop"},
    {"_beginthreadex", "ServiceMain",
     "stops itself with a service-specific error (the service manager's recovery actions restart it): without "
     "its worker there is nothing to run"},
    {"CreateFileMappingA", "CSharedMemory::Create",
     "the shared blocks are made once per supervisor: the tray sees nothing until the service restarts (the "
     "bridge is not affected)"},
    {"MapViewOfFile", "CSharedMemory::Create",
     "the shared blocks are made once per supervisor: the tray sees nothing until the service restarts (the "
     "bridge is not affected)"},
};

const char* KnownReason(const FaultResult& result) {
    for (const KnownEnding& known : kKnownEndings)
        if (result.plan.function == known.function && result.firedSite.find(known.site) != std::string::npos)
            return known.reason;
    return nullptr;
}

const SessionProfile& Profile() {
    static const SessionProfile profile = RecordSession();
    return profile;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kRunWallSeconds = 600;
#else
constexpr unsigned kRunWallSeconds = 120;
#endif

void Sweep(bool stalls) {
    const SessionProfile& profile = Profile();
    ASSERT_EQ(profile.problems, "") << "the session itself does not pass its checks";
    std::vector<FaultPlan> plans;
    for (const FaultPlan& plan : MakePlan(profile, Options().sweep, TestRandom()()))
        if ((plan.stallMs != 0) == stalls) plans.push_back(plan);

    std::set<std::string> functions, sites, eligible;
    for (const SessionCall& call : profile.calls) {
        functions.insert(call.function);
        sites.insert(call.function + " @ " + call.site);
        const bool fails = !sim::RealisticErrors(call.function).empty() && !sim::FailsOnlyForBadArguments(call.function);
        if (stalls ? sim::CanBlock(call.function) : fails) eligible.insert(call.function + " @ " + call.site);
    }
    std::printf("session: %zu Win32 calls of %zu functions from %zu call sites, %zu of them %s; %zu runs planned (%s)\n",
                profile.calls.size(), functions.size(), sites.size(), eligible.size(),
                stalls ? "of calls that can block" : "of calls that can fail", plans.size(), Options().sweep.c_str());

    const auto start = std::chrono::steady_clock::now();
    std::size_t finished = 0;
    std::set<std::string> sitesHit, functionsHit;
    std::map<std::string, std::string> notRecovered;  // site -> what
    const std::vector<FaultResult> results =
        RunFaultPlans(plans, Options().jobs, kRunWallSeconds, [&](const FaultResult& result) {
            ++finished;
            if (result.fired) {
                sitesHit.insert(result.plan.function + " @ " + result.firedSite);
                functionsHit.insert(result.plan.function);
            }
            const char* known = KnownReason(result);
            std::string problems;
            if (!result.ending.empty()) problems += "ended by " + result.ending + " (its report is above); ";
            if (!result.leaks.empty()) problems += "left behind: " + result.leaks + "; ";
            std::string unrecovered;
            if (!result.stopped) unrecovered += "did not stop within its bounded waits; ";
            if (!result.answered && !result.stoppedItself) unrecovered += "did not answer the service manager; ";
            if (result.stoppedItself) unrecovered += "stopped itself; ";
            if (!result.recovered)
                unrecovered += "no exact audio again: " + result.audio + "; ";
            else if (!result.trayInformed)
                unrecovered += "bridged, but the status block does not show it; ";
            if (!unrecovered.empty() && !known) problems += unrecovered;
            if (!problems.empty())
                ADD_FAILURE() << result.plan.Describe() << (result.fired ? "" : " [did not come]") << " at "
                              << result.firedSite << ": " << problems;
            else if (!unrecovered.empty())
                notRecovered[result.plan.function + " @ " + result.firedSite] = known;
            if (plans.size() <= 5)
                std::printf(
                    "%s: fired %d at %s, started %d, recovered %d, tray %d, answered %d, stopped %d, leaks '%s', audio "
                    "'%s'\n",
                    result.plan.Describe().c_str(), result.fired, result.firedSite.c_str(), result.started,
                    result.recovered, result.trayInformed, result.answered, result.stopped, result.leaks.c_str(),
                    result.audio.c_str());
            if (finished % 100 == 0) std::printf("  %zu/%zu runs\n", finished, plans.size());
        });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::size_t fired = 0;
    for (const FaultResult& result : results) fired += result.fired;
    std::printf("%zu runs (%zu came as planned): %zu distinct call sites of %zu functions %s\n", results.size(),
                fired, sitesHit.size(), functionsHit.size(), stalls ? "held" : "failed");
    std::fprintf(stderr, "%zu runs in %.1f s wall\n", results.size(), seconds);  // host time: not in the report
    for (const auto& [site, why] : notRecovered)
        std::printf("  not recovered, by design: %s: %s\n", site.c_str(), why.c_str());
}

TEST(FaultInjection, EveryCallSiteFailsOnce) { Sweep(false); }

TEST(FaultInjection, EveryBlockingCallIsHeld) { Sweep(true); }

}  // namespace
}  // namespace soak
