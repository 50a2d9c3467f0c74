#include "tests/soak/FaultSweep.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

#include "platform/sim/include/sim/fault_errors.h"
#include "platform/sim/include/sim/scm.h"
#include "tests/harness/Programs.h"
#include "tests/soak/HeapCount.h"
#include "tests/soak/SoakBench.h"

namespace soak {
namespace {

constexpr std::uint32_t kRecoveryMs = 20'000;

struct SessionOutcome {
    bool started = false;
    bool recovered = false;
    bool trayInformed = false;
    bool stoppedItself = false;
    bool answered = false;
    bool stopped = false;
    std::string leaks;
    std::string audio;
};

// The scripted session. Every wait is bounded, so a service that never gets somewhere only makes the
// session go on without it; what counts is the recovery check at the end and the stop.
void RunSession(Bench& b, SessionOutcome& out) {
    out.started = b.Start(5'000);
    b.WaitSupervisor(3'000);
    b.WaitConnected(true, 3'000);
    b.machine.RunFor(200);
    b.RequestSettings(kSettingEnable | kSettingLatency);
    b.machine.RunUntil([&] { return b.driver.RegisteredFrames() == 384u && b.Connected(); }, 3'000);
    b.machine.RunFor(200);
    b.console.Unplug();
    b.WaitConnected(false, 3'000);

    // Recovery: whatever failed was transient, so a console plugged in again is soon bridged with exact
    // audio (the failure may also have hit this very bridge, which the health check then replaces).
    b.console.Plug();
    const std::uint64_t end = b.machine.NowMs() + kRecoveryMs;
    do {
        b.machine.RunFor(100);
        out.audio = b.AudioFault(100);
    } while (!out.audio.empty() && b.machine.NowMs() < end);
    out.recovered = out.audio.empty();
    out.trayInformed = b.machine.RunUntil(
        [&] { return b.Connected(); }, static_cast<std::uint32_t>(std::max<std::int64_t>(0, end - b.machine.NowMs())));
    // A service that could not go on may have stopped on its own; it must then have said so.
    out.stoppedItself = b.ServiceGone();
    if (out.stoppedItself) {
        out.stopped = b.machine.Scm().Status(harness::kServiceName).dwCurrentState == SERVICE_STOPPED;
        out.leaks = b.LeftBehind();
        return;
    }
    out.answered = b.machine.Scm().Control(harness::kServiceName, SERVICE_CONTROL_INTERROGATE) == NO_ERROR;
    out.stopped = b.Stop(30'000);
    if (out.stopped) out.leaks = b.LeftBehind();
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ';');
    return text;
}

// The child's side of one run: the report, one "key=value" per line, written to `fd`.
[[noreturn]] void RunChild(const FaultPlan& plan, int fd) {
    static char report[65536];
    std::size_t used = 0;
    auto put = [&](const char* key, const std::string& value) {
        const int n = std::snprintf(report + used, sizeof report - used, "%s=%s\n", key, value.c_str());
        if (n > 0) used = std::min(sizeof report - 1, used + static_cast<std::size_t>(n));
    };
    auto send = [&]() {
        for (std::size_t sent = 0; sent < used;) {
            const ssize_t n = write(fd, report + sent, used - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    };
    const std::int64_t heapBefore = LiveHeapBytes();
    {
        Bench b;
        ServiceCallHook::Action action;
        action.fail = plan.error != 0;
        action.error = plan.error;
        action.stallMs = plan.stallMs;
        b.hook.ArmAtOccurrence(plan.function, plan.occurrence, action);
        SessionOutcome outcome;
        RunSession(b, outcome);
        const bool fired = b.hook.HasFired();
        put("fired", fired ? "1" : "0");
        if (fired) {
            const ServiceCallHook::Fired call = b.hook.FiredCall();
            put("site", CallSite(call.stack, call.function, FunctionNames(call.stack)));
        }
        put("started", outcome.started ? "1" : "0");
        put("recovered", outcome.recovered ? "1" : "0");
        put("tray", outcome.trayInformed ? "1" : "0");
        put("self", outcome.stoppedItself ? "1" : "0");
        put("answered", outcome.answered ? "1" : "0");
        put("stopped", outcome.stopped ? "1" : "0");
        put("audio", OneLine(outcome.audio));
        put("leaks", OneLine(outcome.leaks));
        // Threads that did not end would hold the machine's destruction: the report goes as it is.
        if (!outcome.stopped) {
            send();
            _exit(0);
        }
    }
    const std::int64_t heapAfter = LiveHeapBytes();
    if (heapAfter != heapBefore) put("heap", std::to_string(heapAfter - heapBefore) + " heap bytes not freed");
    send();
    _exit(0);
}

void Parse(const std::string& text, FaultResult& result) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "fired") result.fired = value == "1";
        if (key == "site") result.firedSite = value;
        if (key == "started") result.started = value == "1";
        if (key == "recovered") result.recovered = value == "1";
        if (key == "tray") result.trayInformed = value == "1";
        if (key == "self") result.stoppedItself = value == "1";
        if (key == "answered") result.answered = value == "1";
        if (key == "stopped") result.stopped = value == "1";
        if (key == "audio") result.audio = value;
        if (key == "leaks") result.leaks += value;
        if (key == "heap") result.leaks += (result.leaks.empty() ? "" : "; ") + value;
    }
}

}  // namespace

SessionProfile RecordSession() {
    SessionProfile profile;
    std::vector<ServiceCallHook::Recorded> recorded;
    std::vector<Stack> stacks;
    {
        Bench b;
        b.hook.Record(true);
        SessionOutcome outcome;
        RunSession(b, outcome);
        if (!outcome.started) profile.problems += "did not start; ";
        if (!outcome.recovered) profile.problems += "no exact audio after the replug: " + OneLine(outcome.audio) + "; ";
        if (!outcome.trayInformed) profile.problems += "the status block does not show the console; ";
        if (!outcome.answered) profile.problems += "did not answer an interrogation; ";
        if (!outcome.stopped) profile.problems += "did not stop; ";
        if (!outcome.leaks.empty()) profile.problems += "left behind: " + outcome.leaks;
        b.hook.Record(false);
        recorded = b.hook.Recording();
        stacks = b.hook.Stacks();
    }
    std::vector<void*> addresses;
    for (const Stack& stack : stacks) addresses.insert(addresses.end(), stack.begin(), stack.end());
    const std::map<void*, std::string> names = FunctionNames(addresses);
    std::vector<std::string> sites(stacks.size());
    for (const auto& call : recorded) {
        std::string& site = sites[call.stack];
        if (site.empty()) site = CallSite(stacks[call.stack], call.function, names);
        profile.calls.push_back(SessionCall{call.function, call.occurrence, site});
    }
    return profile;
}

std::string FaultPlan::Describe() const {
    std::ostringstream out;
    out << function << " #" << occurrence << " (" << site << ") ";
    if (stallMs)
        out << "held " << stallMs << " ms";
    else
        out << "fails with 0x" << std::hex << error;
    return out.str();
}

std::vector<FaultPlan> MakePlan(const SessionProfile& profile, const std::string& breadth, std::uint64_t seed) {
    std::vector<FaultPlan> plans;
    if (const std::size_t hash = breadth.find('#'); hash != std::string::npos) {
        // One run: "Function#occurrence", "...@ms" to hold it, "...=error" (hex) to fail it with another error.
        FaultPlan plan;
        plan.function = breadth.substr(0, hash);
        plan.occurrence = std::stoull(breadth.substr(hash + 1));
        if (const std::size_t at = breadth.find('@'); at != std::string::npos)
            plan.stallMs = std::stoul(breadth.substr(at + 1));
        const std::vector<DWORD> errors = sim::RealisticErrors(plan.function);
        if (const std::size_t eq = breadth.find('='); eq != std::string::npos)
            plan.error = static_cast<DWORD>(std::stoul(breadth.substr(eq + 1), nullptr, 16));
        else if (!plan.stallMs && !errors.empty())
            plan.error = errors.front();
        for (const SessionCall& call : profile.calls)
            if (call.function == plan.function && call.occurrence == plan.occurrence) plan.site = call.site;
        plans.push_back(plan);
        return plans;
    }
    if (breadth == "all") {
        for (const SessionCall& call : profile.calls) {
            const std::vector<DWORD> errors = sim::RealisticErrors(call.function);
            if (!errors.empty() && !sim::FailsOnlyForBadArguments(call.function))
                plans.push_back(FaultPlan{call.function, call.occurrence, errors.front(), 0, call.site});
        }
        return plans;
    }
    // Distinct sites in the order they first came, with the occurrences of their function at each.
    std::vector<std::pair<std::string, std::string>> order;
    std::map<std::pair<std::string, std::string>, std::vector<std::uint64_t>> sites;
    for (const SessionCall& call : profile.calls) {
        auto key = std::make_pair(call.function, call.site);
        auto [it, added] = sites.emplace(key, std::vector<std::uint64_t>{});
        if (added) order.push_back(key);
        it->second.push_back(call.occurrence);
    }
    for (const auto& key : order) {
        const auto& [function, site] = key;
        const std::vector<std::uint64_t>& at = sites[key];
        std::vector<std::uint64_t> picks = {at.front(), at[at.size() / 2], at.back()};
        picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
        const std::vector<DWORD> errors = sim::RealisticErrors(function);
        if (!errors.empty() && !sim::FailsOnlyForBadArguments(function)) {
            for (std::uint64_t occurrence : picks)
                plans.push_back(FaultPlan{function, occurrence, errors.front(), 0, site});
            for (std::size_t e = 1; e < errors.size(); ++e)
                plans.push_back(FaultPlan{function, at.front(), errors[e], 0, site});
        }
        if (sim::CanBlock(function)) {
            for (std::uint32_t ms : {300u, 12'000u}) {
                plans.push_back(FaultPlan{function, at.front(), 0, ms, site});
                if (at.back() != at.front()) plans.push_back(FaultPlan{function, at.back(), 0, ms, site});
            }
        }
    }
    if (breadth != "sites") {
        const std::size_t count = std::stoul(breadth);
        std::mt19937_64 random(seed);
        std::shuffle(plans.begin(), plans.end(), random);
        if (plans.size() > count) plans.resize(count);
    }
    return plans;
}

std::vector<FaultResult> RunFaultPlans(const std::vector<FaultPlan>& plans, unsigned jobs, unsigned wallSeconds,
                                       const std::function<void(const FaultResult&)>& done) {
    struct Child {
        pid_t pid;
        int fd;
        std::size_t index;
        std::string output;
        std::chrono::steady_clock::time_point start;
    };
    std::vector<FaultResult> results(plans.size());
    std::vector<Child> running;
    std::size_t next = 0;
    auto finish = [&](Child& child, const std::string& ending) {
        close(child.fd);
        int status = 0;
        waitpid(child.pid, &status, 0);
        FaultResult& result = results[child.index];
        result.plan = plans[child.index];
        Parse(child.output, result);
        if (!ending.empty())
            result.ending = ending;
        else if (WIFSIGNALED(status))
            result.ending = "signal " + std::to_string(WTERMSIG(status));
        else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
            result.ending = "exit " + std::to_string(WEXITSTATUS(status));
        done(result);
    };
    while (next < plans.size() || !running.empty()) {
        while (running.size() < jobs && next < plans.size()) {
            int fds[2];
            if (pipe(fds) != 0) return results;
            std::fflush(stdout);
            std::fflush(stderr);
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                RunChild(plans[next], fds[1]);
            }
            close(fds[1]);
            running.push_back(Child{pid, fds[0], next++, "", std::chrono::steady_clock::now()});
        }
        std::vector<pollfd> polls;
        for (const Child& child : running) polls.push_back(pollfd{child.fd, POLLIN, 0});
        poll(polls.data(), polls.size(), 200);
        for (std::size_t i = running.size(); i-- > 0;) {
            Child& child = running[i];
            bool ended = false;
            std::string ending;
            if (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[4096];
                const ssize_t n = read(child.fd, buffer, sizeof buffer);
                if (n > 0)
                    child.output.append(buffer, static_cast<std::size_t>(n));
                else
                    ended = true;
            }
            if (!ended && std::chrono::steady_clock::now() - child.start > std::chrono::seconds(wallSeconds)) {
                kill(child.pid, SIGKILL);
                ended = true;
                ending = "time-out after " + std::to_string(wallSeconds) + " s";
            }
            if (ended) {
                finish(child, ending);
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    return results;
}

}  // namespace soak
