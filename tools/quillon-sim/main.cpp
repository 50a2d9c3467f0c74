// quillon-sim: runs the real service and tray code on a simulated Windows machine and prints what
// happens, as a timeline a user or an engineer can read.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Service/common/SharedBlock.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/shell.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "platform/sim/include/simwin/api.h"
#include "tests/harness/Blocks.h"
#include "tests/harness/Programs.h"
#include "tests/harness/Tray.h"

namespace {

struct Options {
    unsigned seconds = 16;
    std::string console = "alto";
    sim::PinMode pinMode = sim::PinMode::Standard;
    unsigned bits = 0;      // 0: the console's own depths
    unsigned latency = 0;   // the registry value the service starts with
    std::string recordDir;
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
        "  --seconds N       length of the session in service time (default 16)\n"
        "  --console MODEL   alto, alto-alt, alto-2026, basso, basso-alt, basso-2026 or none (default alto)\n"
        "  --pin-mode M      standard or looped: how the console's pins stream (default standard)\n"
        "  --bits N          16, 24 or 32: the only sample depth the console's pins accept\n"
        "  --latency L       ultra-low or low: the Latency setting the service starts with\n"
        "  --record DIR      (accepted; WAV recording is not part of this build)\n"
        "  --clock virtual   time jumps whenever every simulated thread waits (default; fast)\n"
        "  --clock real      the steady clock, as on a real machine\n"
        "  --no-driver       without the virtual audio driver (the service retries once a second)\n"
        "  --no-tray         without the tray program\n"
        "  --no-script       no scripted user: nobody touches the settings\n"
        "  --verbose         every driver request and shell call on its own line\n"
        "\n"
        "  The scripted session: the tray starts before the service; the service starts at 1 s and the\n"
        "  console is plugged in at 2 s; applications play a test signal into \"System\", \"Game\" and\n"
        "  \"Music\" and record from every capture endpoint throughout. The user picks \"Low\" at 4 s,\n"
        "  presses a channel button on the console at 5 s, picks \"Bypass\" at 6 s and again at 8 s,\n"
        "  unplugs the console at 9 s and plugs it back at 10 s, picks \"Ultra-low\" at 11 s; the service\n"
        "  is stopped at 13 s. Each second an \"audio\" line gives per capture endpoint its level (peak,\n"
        "  dBFS) and the frames the applications received, and the console's frames played.");
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
        } else if (arg == "--console" && i + 1 < argc) {
            o.console = argv[++i];
            static const char* const known[] = {"alto", "alto-alt", "alto-2026", "basso", "basso-alt", "basso-2026", "none"};
            if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return o.console == k; }) ==
                std::end(known))
                return false;
        } else if (arg == "--pin-mode" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v == "standard")
                o.pinMode = sim::PinMode::Standard;
            else if (v == "looped")
                o.pinMode = sim::PinMode::Looped;
            else
                return false;
        } else if (arg == "--bits" && i + 1 < argc) {
            o.bits = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (o.bits != 16 && o.bits != 24 && o.bits != 32) return false;
        } else if (arg == "--latency" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v == "ultra-low")
                o.latency = 0;
            else if (v == "low")
                o.latency = 1;
            else
                return false;
        } else if (arg == "--record" && i + 1 < argc) {
            o.recordDir = argv[++i];
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

sim::ConsoleModel ModelFor(const std::string& name) {
    if (name == "alto-alt") return sim::ConsoleModel::AltoAlt;
    if (name == "alto-2026") return sim::ConsoleModel::Alto2026;
    if (name == "basso") return sim::ConsoleModel::Basso;
    if (name == "basso-alt") return sim::ConsoleModel::BassoAlt;
    if (name == "basso-2026") return sim::ConsoleModel::Basso2026;
    return sim::ConsoleModel::Alto;
}

const char* const kEndpointNames[16] = {"System", "Combo1",   "Combo2",   "Combo3", "Combo4", "Bluetooth",
                                        "PadBank", "USB1Main", "USB1Chat", "USB2",   "Headset", "System",
                                        "Game",   "Music",    "Virtual A", "Virtual B"};

// The applications on the virtual driver: players of the identifying test signal into "System", "Game"
// and "Music", and a recorder on every capture endpoint, streaming on the driver's period clock.
class Applications {
public:
    explicit Applications(sim::VirtualAudioDriver& driver) {
        for (std::uint32_t r = 0; r < 3; ++r)
            driver.SetPlayer(r, [r](std::uint64_t first, std::uint32_t channels, float* out, std::uint32_t frames) {
                for (std::uint32_t f = 0; f < frames; ++f)
                    for (std::uint32_t ch = 0; ch < channels && ch < 2; ++ch) {
                        const auto v = static_cast<std::uint32_t>((2 * r + ch + 1) * 2048 + (first + f) % 2048);
                        out[f * channels + ch] = (static_cast<float>(v) + 0.5f) / 32768.0f;
                    }
            });
        for (std::uint32_t c = 0; c < 11; ++c)
            driver.SetRecorder(c, [this, c](std::uint64_t, std::uint32_t channels, const float* in, std::uint32_t frames) {
                float peak = 0.0f;
                for (std::uint32_t i = 0; i < frames * channels; ++i) peak = std::max(peak, std::fabs(in[i]));
                std::lock_guard lock(mutex_);
                peak_[c] = std::max(peak_[c], peak);
                if (peak > 0.0f) frames_[c] += frames;
            });
    }

    std::string Report() {
        std::lock_guard lock(mutex_);
        std::string text;
        char item[64];
        for (std::uint32_t c = 0; c < 11; ++c) {
            if (peak_[c] > 0.0f)
                std::snprintf(item, sizeof item, "%s %.0f dB %llu fr; ", kEndpointNames[c], 20.0 * std::log10(peak_[c]),
                              static_cast<unsigned long long>(frames_[c]));
            else
                std::snprintf(item, sizeof item, "%s -; ", kEndpointNames[c]);
            text += item;
            peak_[c] = 0.0f;
            frames_[c] = 0;
        }
        return text;
    }

private:
    std::mutex mutex_;
    float peak_[11] = {};
    std::uint64_t frames_[11] = {};
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
    machine.Reg().SetDword("HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver", "Latency", options.latency);
    std::unique_ptr<sim::Console> console;
    if (options.console != "none") {
        sim::ConsoleConfig config;
        config.model = ModelFor(options.console);
        config.pinMode = options.pinMode;
        console = std::make_unique<sim::Console>(machine, config);
        if (options.bits == 16) console->Ks().Options().sampleFormats = {{16, 16}};
        if (options.bits == 24) console->Ks().Options().sampleFormats = {{24, 24}};
        if (options.bits == 32) console->Ks().Options().sampleFormats = {{32, 32}};
        console->Hid().SetChannelMask(0xFFFF);
    }
    if (!options.recordDir.empty()) timeline.Say(machine.Now(), "sim", "--record: WAV recording is not part of this build");
    Applications apps(driver);
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
    auto plug = [&](bool in) {
        timeline.Say(machine.Now(), "user", in ? "plugs the console in" : "unplugs the console");
        if (in)
            console->Plug();
        else
            console->Unplug();
    };
    if (console) script.push_back({2000, "", [&] { plug(true); }});
    if (options.script && options.tray) script.push_back({4000, "", [&] { choose("Low"); }});
    if (options.script && console)
        script.push_back({5000, "", [&] {
                              timeline.Say(machine.Now(), "user", "presses a channel button: mask 0x3FFF");
                              console->Hid().SetChannelMask(0x3FFF);
                          }});
    if (options.script && options.tray) {
        script.push_back({6000, "", [&] { choose("Bypass"); }});
        script.push_back({8000, "", [&] { choose("Bypass"); }});
    }
    if (options.script && console) {
        script.push_back({9000, "", [&] { plug(false); }});
        script.push_back({10000, "", [&] { plug(true); }});
    }
    if (options.script && options.tray) script.push_back({11000, "", [&] { choose("Ultra-low"); }});
    if (options.script)
        script.push_back({13000, "", [&] {
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
        if (machine.NowMs() % 1000 < 100) {
            std::string text = apps.Report();
            if (console && console->Ks().RenderPin())
                text += "console played " + std::to_string(console->Ks().RenderPin()->FramesTransferred()) + " fr";
            timeline.Say(machine.Now(), "audio", text);
        }
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
                "\n",
                static_cast<double>(machine.NowMs()) / 1000.0, driver.Requests().size(),
                static_cast<unsigned long long>(driver.Periods()),
                static_cast<unsigned long long>(driver.MissedCaptureAnswers()),
                static_cast<unsigned long long>(driver.MissedRenderAnswers()));
    return 0;
}
