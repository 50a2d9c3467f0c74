#include "tests/soak/SoakBench.h"

#include <sstream>

#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/namespace.h"
#include "platform/sim/include/sim/scm.h"
#include "tests/harness/Programs.h"
#include "tests/soak/SoakOptions.h"

namespace soak {
namespace {

// The Alto's capture split: the console channels of capture streams 0 to 9 (stream 10 unused).
constexpr int kAltoCapture[10][2] = {{0, 1}, {2, -1}, {3, -1},  {4, -1},  {5, -1},
                                     {6, 7}, {8, 9},  {10, 11}, {12, 13}, {14, 15}};

// What was wrong with one path between two looks at it, or "". The meter's counts only grow; its
// counts are not cleared, which would also make it forget the silence that separates one bridge's
// frames from the next one's.
std::string PathFault(const sim::PathStats& before, const sim::PathStats& after, int expectedChannel) {
    std::ostringstream out;
    auto grew = [&](std::uint64_t sim::PathStats::*count, const char* what) {
        if (after.*count != before.*count) out << after.*count - before.*count << " " << what << "; ";
    };
    if (after.frames == before.frames) {
        out << "nothing identified";
    } else {
        if (expectedChannel >= 0 && after.consoleChannel != expectedChannel)
            out << "console channel " << after.consoleChannel << " instead of " << expectedChannel << "; ";
        grew(&sim::PathStats::misrouted, "misrouted");
        grew(&sim::PathStats::dropped, "dropped");
        grew(&sim::PathStats::repeated, "repeated");
        grew(&sim::PathStats::silentFrames, "silent");
        grew(&sim::PathStats::unidentified, "unidentified");
        if (after.runs.size() != before.runs.size()) out << "a new run began; ";
    }
    const std::string text = out.str();
    return text.empty() ? ""
                        : "stream " + std::to_string(after.stream) + "." + std::to_string(after.channel) + ": " + text;
}

}  // namespace

std::string Footprint::Describe() const {
    std::ostringstream out;
    out << handles << " handles";
    const char* separator = " (";
    for (const auto& [type, count] : handleTypes) {
        out << separator << count << " " << type;
        separator = ", ";
    }
    out << (handleTypes.empty() ? "" : ")") << ", " << threads << " threads, " << comObjects << " COM objects, " << taskMemory << " task-memory blocks, "
        << views << " views";
    return out.str();
}

bool Footprint::Within(const Footprint& limit) const {
    for (const auto& [type, count] : handleTypes) {
        auto it = limit.handleTypes.find(type);
        if (count > (it == limit.handleTypes.end() ? 0 : it->second)) return false;
    }
    return handles <= limit.handles && threads <= limit.threads && comObjects <= limit.comObjects &&
           taskMemory <= limit.taskMemory && views <= limit.views;
}

Footprint Measure(sim::Machine& machine) {
    Footprint f;
    f.handles = machine.HandleCount();
    for (const char* type :
         {"AvrtTask", "CriticalSection", "DevInfoSet", "Event", "File", "FileMapping", "RegKey", "Thread"})
        if (const std::size_t count = machine.HandleCount(type)) f.handleTypes[type] = count;
    f.threads = machine.LiveThreadCount();
    f.comObjects = sim::EndpointStore::Of(machine).LiveObjects();
    f.taskMemory = sim::EndpointStore::Of(machine).LiveTaskMemory();
    f.views = machine.Names().LiveViewCount();
    return f;
}

Bench::Bench(const sim::ConsoleConfig& config)
    : machine(sim::ClockMode::Virtual, soak::TestRandom()()), console(machine, config) {
    driver.Install();
    console.Hid().SetChannelMask(0xFFFF);
    console.Plug();
    meter = std::make_unique<sim::AudioPathMeter>(driver, &console);
    harness::InstallService(machine);
}

Bench::~Bench() {
    // A run that ended early leaves the service running: it is stopped, within bounds, before the machine
    // goes (a service that does not stop then fails the run with the machine's list of its threads).
    if (!ServiceGone()) Stop();
    meter.reset();
}

bool Bench::Start(std::uint32_t maxMs) {
    if (!machine.Scm().Start(harness::kServiceName)) return false;
    return machine.Scm().WaitForState(harness::kServiceName, SERVICE_RUNNING, maxMs);
}

bool Bench::WaitSupervisor(std::uint32_t maxMs) {
    return machine.RunUntil([&] { return Status() && Status()->serviceVersion[0] != 0; }, maxMs);
}

bool Bench::Stop(std::uint32_t maxMs) {
    const std::uint64_t end = machine.NowMs() + maxMs;
    while (!ServiceGone() && machine.NowMs() < end) {
        machine.Scm().Control(harness::kServiceName, SERVICE_CONTROL_STOP);
        machine.RunUntil([&] { return ServiceGone(); }, 100);
    }
    return ServiceGone();
}

bool Bench::ServiceGone() {
    auto process = machine.Scm().ProcessOf(harness::kServiceName);
    return !process || process->exited;
}

std::string Bench::LeftBehind() {
    std::ostringstream out;
    if (auto process = machine.Scm().ProcessOf(harness::kServiceName)) {
        for (const auto& [type, count] : process->handlesAtExit)
            out << count << " " << type << " handle(s) left open; ";
    }
    const Footprint now = Measure(machine);
    if (!(now == Footprint{})) out << "still on the machine: " << now.Describe();
    return out.str();
}

QuillonSharedBlock* Bench::Status() {
    return reinterpret_cast<QuillonSharedBlock*>(machine.Names().MappingView(kStatusBlockName));
}

QuillonSharedBlock* Bench::Command() {
    return reinterpret_cast<QuillonSharedBlock*>(machine.Names().MappingView(kCommandBlockName));
}

bool Bench::Connected() {
    QuillonSharedBlock* status = Status();
    return status && (status->stateFlags & kStateConsoleConnected) != 0;
}

bool Bench::WaitConnected(bool connected, std::uint32_t maxMs) {
    return machine.RunUntil([&] { return Connected() == connected; }, maxMs);
}

bool Bench::RequestSettings(std::uint32_t settings) {
    QuillonSharedBlock* command = Command();
    if (!command) return false;
    command->settings = settings;
    return true;
}

std::string Bench::AudioFault(std::uint32_t ms) {
    const std::vector<sim::PathStats> captureBefore = meter->CapturePaths();
    const std::vector<sim::PathStats> renderBefore = meter->RenderPaths();
    std::vector<sim::ConsoleChannelStats> channelsBefore;
    for (unsigned channel = 0; channel < meter->RenderChannels(); ++channel)
        channelsBefore.push_back(meter->RenderChannel(channel));
    machine.RunFor(ms);
    const std::vector<sim::PathStats> captureAfter = meter->CapturePaths();
    const std::vector<sim::PathStats> renderAfter = meter->RenderPaths();
    std::string faults;
    for (std::size_t i = 0; i < captureAfter.size(); ++i) {
        const sim::PathStats& path = captureAfter[i];
        const int expected = path.stream < 10 ? kAltoCapture[path.stream][path.channel] : -1;
        if (expected < 0) continue;
        const std::string fault = PathFault(captureBefore[i], path, expected);
        if (!fault.empty()) faults += fault + "\n";
    }
    for (std::size_t i = 0; i < renderAfter.size(); ++i) {
        if (renderAfter[i].stream > 13) continue;  // the meter plays into 11, 12 and 13
        const std::string fault = PathFault(renderBefore[i], renderAfter[i], -1);
        if (!fault.empty()) faults += fault + "\n";
    }
    for (unsigned channel = 0; channel < channelsBefore.size(); ++channel) {
        const sim::ConsoleChannelStats before = channelsBefore[channel];
        const sim::ConsoleChannelStats after = meter->RenderChannel(channel);
        if (after.unidentified != before.unidentified || after.foreign != before.foreign)
            faults += "console render channel " + std::to_string(channel) + ": " +
                      std::to_string(after.unidentified - before.unidentified) + " unidentified, " +
                      std::to_string(after.foreign - before.foreign) + " foreign\n";
    }
    return faults;
}

}  // namespace soak
