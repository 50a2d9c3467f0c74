#include "tests/soak/CallHook.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/sim/include/sim/fault_errors.h"

namespace soak {
namespace {

constexpr int kStackDepth = 32;

Stack CaptureStack() {
    void* frames[kStackDepth];
    const int n = backtrace(frames, kStackDepth);
    return Stack(frames, frames + (n > 0 ? n : 0));
}

// "Class::Method(args) const" -> "Class::Method".
std::string WithoutParameters(const std::string& name) {
    constexpr std::string_view kAnonymous = "(anonymous namespace)";
    int depth = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, kAnonymous.size(), kAnonymous) == 0) {
            i += kAnonymous.size() - 1;
        } else if (name[i] == '<') {
            ++depth;
        } else if (name[i] == '>') {
            --depth;
        } else if (name[i] == '(' && depth == 0) {
            return name.substr(0, i);
        }
    }
    return name;
}

std::uintptr_t MainProgramBias() {
    std::uintptr_t bias = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* out) {
            *static_cast<std::uintptr_t*>(out) = info->dlpi_addr;
            return 1;  // the first entry is the program itself
        },
        &bias);
    return bias;
}

}  // namespace

ServiceCallHook::ServiceCallHook(sim::Machine& machine, std::string image)
    : machine_(machine), image_(std::move(image)) {
    machine_.SetCallObserver([this](sim::Process& process, const char* function, std::uint64_t number) {
        return Observe(process, function, number);
    });
}

ServiceCallHook::~ServiceCallHook() { machine_.SetCallObserver(nullptr); }

sim::Machine::CallFate ServiceCallHook::Observe(sim::Process& process, const char* function, std::uint64_t number) {
    if (process.name != image_) return {};
    const std::uint64_t count = calls_.fetch_add(1) + 1;
    std::lock_guard lock(mutex_);
    if (!first_) first_ = &process;
    const bool first = first_ == &process;
    const std::uint64_t occurrence = first ? ++occurrences_[function] : 0;
    if (recording_ && first) {
        auto [it, added] = stackIds_.emplace(CaptureStack(), static_cast<std::uint32_t>(stacks_.size()));
        if (added) stacks_.push_back(it->first);
        if (recorded_.size() < number) recorded_.resize(number);
        recorded_[number - 1] = Recorded{function, occurrence, it->second};
    }
    const bool hit =
        targetFunction_.empty() ? count == target_ : first && occurrence == target_ && targetFunction_ == function;
    if (!armed_ || !hit) return {};
    armed_ = false;
    sim::Machine::CallFate fate;
    fate.stallMs = action_.stallMs;
    Fired fired{number, function, 0, CaptureStack()};
    if (action_.fail) {
        DWORD error = action_.error;
        if (!error) {
            const std::vector<DWORD> errors = sim::RealisticErrors(function);
            error = errors.empty() ? 0 : errors.front();
        }
        fate.fail = error != 0;
        fate.error = error;
        fired.error = error;
    }
    firedCall_ = std::move(fired);
    fired_.store(true);
    return fate;
}

void ServiceCallHook::ArmAfter(std::uint64_t n, Action action) {
    std::lock_guard lock(mutex_);
    armed_ = true;
    targetFunction_.clear();
    target_ = calls_.load() + n;
    action_ = action;
    fired_.store(false);
}

void ServiceCallHook::ArmAtOccurrence(const std::string& function, std::uint64_t occurrence, Action action) {
    std::lock_guard lock(mutex_);
    armed_ = true;
    targetFunction_ = function;
    target_ = occurrence;
    action_ = action;
    fired_.store(false);
}

void ServiceCallHook::Disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
}

ServiceCallHook::Fired ServiceCallHook::FiredCall() const {
    std::lock_guard lock(mutex_);
    return firedCall_;
}

void ServiceCallHook::Record(bool on) {
    std::lock_guard lock(mutex_);
    recording_ = on;
}

std::vector<ServiceCallHook::Recorded> ServiceCallHook::Recording() const {
    std::lock_guard lock(mutex_);
    return recorded_;
}

std::vector<Stack> ServiceCallHook::Stacks() const {
    std::lock_guard lock(mutex_);
    return stacks_;
}

std::map<void*, std::string> FunctionNames(const std::vector<void*>& addresses) {
    std::map<void*, std::string> names;
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) return names;
    program[length] = 0;
    const std::uintptr_t bias = MainProgramBias();

    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&MainProgramBias), &self);
    std::vector<void*> inProgram;
    for (void* address : addresses) {
        if (names.count(address)) continue;
        Dl_info info{};
        names[address] = "?";
        if (dladdr(address, &info) && info.dli_fbase != self.dli_fbase) {
            if (info.dli_sname) names[address] = info.dli_sname;  // a shared library's export
            continue;
        }
        inProgram.push_back(address);
    }
    constexpr std::size_t kBatch = 400;
    for (std::size_t from = 0; from < inProgram.size(); from += kBatch) {
        std::string command = std::string("addr2line -C -f -e '") + program + "'";
        const std::size_t to = std::min(inProgram.size(), from + kBatch);
        for (std::size_t i = from; i < to; ++i) {
            char text[32];
            // A return address lies after its call: look the call itself up.
            std::snprintf(text, sizeof text, " 0x%zx",
                          static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(inProgram[i]) - bias - 1));
            command += text;
        }
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) break;
        char line[4096];
        for (std::size_t i = from; i < to && std::fgets(line, sizeof line, pipe); ++i) {
            line[std::strcspn(line, "\n")] = 0;
            names[inProgram[i]] = line;
            if (!std::fgets(line, sizeof line, pipe)) break;  // file:line
        }
        pclose(pipe);
    }
    return names;
}

void WarmUpStacks() { FunctionNames(CaptureStack()); }

std::vector<std::string> StackNames(const Stack& stack, const std::map<void*, std::string>& names) {
    std::vector<std::string> out;
    for (void* frame : stack) {
        auto it = names.find(frame);
        out.push_back(it == names.end() ? "?" : WithoutParameters(it->second));
    }
    return out;
}

std::string CallSite(const Stack& stack, const std::string& function, const std::map<void*, std::string>& names) {
    const std::vector<std::string> frames = StackNames(stack, names);
    // A COM method is implemented by some class of the machine: its frame ends in "::Method".
    const std::size_t colons = function.rfind("::");
    const std::string method = colons == std::string::npos ? "" : function.substr(colons);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string& name = frames[i];
        const bool match = method.empty() ? name == function
                                          : name.size() > method.size() &&
                                                name.compare(name.size() - method.size(), method.size(), method) == 0;
        if (!match) continue;
        // The first two frames of the program above it: a call the system makes inside another one
        // (a COM method allocating its answer) belongs to the program's call of that one.
        std::string site;
        int taken = 0;
        for (std::size_t j = i + 1; j < frames.size() && taken < 2; ++j) {
            if (frames[j].rfind("sim::", 0) == 0) continue;
            const std::string name = frames[j].rfind("std::", 0) == 0 ? "(thread start)" : frames[j];
            site += (taken++ ? " < " : "") + name;
            if (name == "(thread start)") break;
        }
        return site.empty() ? "?" : site;
    }
    return "?";
}

}  // namespace soak
