// quillon-sim: runs the real service and tray code on a simulated Windows machine and prints what
// happens, as a timeline a user or an engineer can read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Service/common/SharedBlock.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/shell.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "platform/sim/include/simwin/api.h"
#include "tests/harness/Blocks.h"
#include "tests/harness/Programs.h"
#include "tests/harness/Tray.h"

namespace {

struct Options {
    unsigned seconds = 20;
    sim::ClockMode clock = sim::ClockMode::Virtual;
    bool driver = true;
    bool tray = true;
    bool script = true;
    bool verbose = false;
};

void Usage() {
    std::puts(
        "usage: quillon-sim [options]\n"
        "  Runs the Quillon service and its tray on a simulated Windows machine and prints the timeline:\n"
        "  service states, driver requests, registry writes, the status block, the tray's balloons and,\n"
        "  at the end, the tray's menu as the user sees it.\n"
        "\n"
        "  --seconds N       length of the session in service time (default 20)\n"
        "  --clock virtual   time jumps whenever every simulated thread waits (default; fast)\n"
        "  --clock real      the steady clock, as on a real machine\n"
        "  --no-driver       without the virtual audio driver (the service retries once a second)\n"
        "  --no-tray         without the tray program\n"
        "  --no-script       no scripted user: nobody touches the settings\n"
        "  --verbose         every driver request and shell call on its own line\n"
        "\n"
        "  The scripted user: the tray starts before the service; the service starts at 1 s; the user\n"
        "  picks \"Low\" at 4 s, \"Bypass\" at 6 s and \"Bypass\" again at 8 s, \"Ultra-low\" at 10 s; the\n"
        "  service is stopped at 12 s.");
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            o.seconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--clock" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v == "virtual")
                o.clock = sim::ClockMode::Virtual;
            else if (v == "real")
                o.clock = sim::ClockMode::Real;
            else
                return false;
        } else if (arg == "--no-driver") {
            o.driver = false;
        } else if (arg == "--no-tray") {
            o.tray = false;
        } else if (arg == "--no-script") {
            o.script = false;
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else {
            return false;
        }
    }
    return true;
}

// Prints notes as timeline lines; runs of the same driver request are folded into one line.
class Timeline {
public:
    explicit Timeline(bool verbose) : verbose_(verbose) {}

    void Add(const sim::Note& note) {
        std::lock_guard lock(mutex_);
        if (note.source == "debug" || note.source == "mapping" || note.source == "devices") return;
        if (note.source == "shell" && !verbose_ && note.text.find("balloon") == std::string::npos) return;
        if (note.source == "driver" && !verbose_) {
            const std::string kind = note.text.substr(0, note.text.find(' '));
            if (kind == runKind_ && note.text.find("refused") == std::string::npos) {
                ++runCount_;
                runLast_ = Index(note.text);
                return;
            }
            FlushLocked();
            runKind_ = kind;
            runCount_ = 1;
            runTime_ = note.time;
            runFirst_ = runLast_ = Index(note.text);
            runText_ = note.text;
            return;
        }
        FlushLocked();
        Print(note.time, note.source, note.text);
    }

    void Say(sim::Ticks time, const std::string& source, const std::string& text) {
        std::lock_guard lock(mutex_);
        FlushLocked();
        Print(time, source, text);
    }

    void Flush() {
        std::lock_guard lock(mutex_);
        FlushLocked();
    }

    static void Print(sim::Ticks time, const std::string& source, const std::string& text) {
        std::printf("[%8.3f s] %-8s %s\n", static_cast<double>(time) / 1e7, source.c_str(), text.c_str());
        std::fflush(stdout);
    }

private:
    static std::string Index(const std::string& text) {
        const auto hash = text.find('#');
        return hash == std::string::npos ? "" : text.substr(hash + 1, text.find(' ', hash) - hash - 1);
    }
    void FlushLocked() {
        if (runCount_ == 0) return;
        std::string text = runText_;
        if (runCount_ > 1)
            text = runKind_ + " x" + std::to_string(runCount_) +
                   (runFirst_.empty() ? "" : " (#" + runFirst_ + "..#" + runLast_ + ")");
        Print(runTime_, "driver", text);
        runCount_ = 0;
        runKind_.clear();
    }

    bool verbose_;
    std::mutex mutex_;
    std::string runKind_, runText_, runFirst_, runLast_;
    int runCount_ = 0;
    sim::Ticks runTime_ = 0;
};

std::string DescribeStatus(const QuillonSharedBlock& block) {
    char description[kSharedTextSize + 1], firmware[kSharedTextSize + 1], version[kSharedTextSize + 1];
    ReadSharedText(block.consoleDescription, description);
    ReadSharedText(block.firmwareText, firmware);
    ReadSharedText(block.serviceVersion, version);
    char text[400];
    std::snprintf(text, sizeof text, "connected=%u bypass=%s latency=%s | \"%s\" | \"%s\" | \"%s\"",
                  block.stateFlags & kStateConsoleConnected, (block.settings & kSettingEnable) ? "off" : "on",
                  (block.settings & kSettingLatency) ? "Low" : "Ultra-low", description, firmware, version);
    return text;
}

// Watches the status block the way the tray would and reports when it changes (the heartbeat aside).
class StatusWatcher {
public:
    void Poll(sim::Machine& machine, Timeline& timeline) {
        harness::BlockView status(kStatusBlockName);
        const std::string text = status ? DescribeStatus(*status) : std::string("(no status block)");
        if (text != last_) timeline.Say(machine.Now(), "status", text);
        last_ = text;
    }

private:
    std::string last_;
};

struct ScriptStep {
    std::uint64_t atMs;
    std::string what;
    std::function<void()> action;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage();
        return 0;
    }
    if (!Parse(argc, argv, options)) {
        Usage();
        return 2;
    }

    sim::Machine machine(options.clock);
    Timeline timeline(options.verbose);
    machine.SetNoteSink([&timeline](const sim::Note& note) { timeline.Add(note); });

    std::printf("quillon-sim: %u s of service time on the %s clock; virtual audio driver %s; tray %s\n\n",
                options.seconds, options.clock == sim::ClockMode::Virtual ? "virtual" : "real",
                options.driver ? "present" : "absent", options.tray ? "running" : "not started");

    sim::VirtualAudioDriver driver(machine);
    if (options.driver) driver.Install();
    harness::InstallService(machine);
    std::shared_ptr<sim::Process> tray;
    if (options.tray) {
        timeline.Say(machine.Now(), "user", "starts the tray");
        tray = harness::StartTray(machine);
    }

    auto choose = [&](const std::string& item) {
        timeline.Say(machine.Now(), "user", "picks \"" + item + "\" in the tray's menu");
        harness::UseTrayMenu(machine, item);
    };
    std::vector<ScriptStep> script;
    script.push_back({1000, "", [&] {
                          timeline.Say(machine.Now(), "user", "starts the service");
                          harness::StartService(machine);
                      }});
    if (options.script && options.tray) {
        script.push_back({4000, "", [&] { choose("Low"); }});
        script.push_back({6000, "", [&] { choose("Bypass"); }});
        script.push_back({8000, "", [&] { choose("Bypass"); }});
        script.push_back({10000, "", [&] { choose("Ultra-low"); }});
    }
    if (options.script)
        script.push_back({12000, "", [&] {
                              timeline.Say(machine.Now(), "user", "stops the service");
                              harness::StopService(machine);
                          }});

    StatusWatcher watcher;
    const std::uint64_t endMs = options.seconds * 1000ull;
    std::size_t next = 0;
    while (machine.NowMs() < endMs) {
        while (next < script.size() && script[next].atMs <= machine.NowMs()) script[next++].action();
        machine.RunFor(100);
        watcher.Poll(machine, timeline);
    }
    timeline.Flush();

    if (tray) {
        std::puts("\nThe tray's menu now:");
        const std::string menu = harness::TrayMenuText(machine);
        std::fputs(menu.empty() ? "(no menu opened)\n" : menu.c_str(), stdout);
    }

    // End of the session: stop what still runs.
    if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName))
        harness::StopService(machine);
    if (tray) harness::QuitTray(machine, tray);
    timeline.Flush();

    std::printf("\nsummary: %.1f s of service time; %zu driver requests; %llu driver periods, %llu/%llu answers missed "
                "(no console: nobody answers)\n",
                static_cast<double>(machine.NowMs()) / 1000.0, driver.Requests().size(),
                static_cast<unsigned long long>(driver.Periods()),
                static_cast<unsigned long long>(driver.MissedCaptureAnswers()),
                static_cast<unsigned long long>(driver.MissedRenderAnswers()));
    return 0;
}
