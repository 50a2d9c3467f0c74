// quillon-sim's scripted session.
#include "tools/quillon-sim/session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/harness/Programs.h"
#include "tests/harness/Tray.h"
#include "tools/quillon-sim/json.h"
#include "tools/quillon-sim/recording.h"
#include "tools/quillon-sim/report.h"
#include "tools/quillon-sim/timeline.h"

namespace quillon_sim {

namespace {

struct ModelOption {
    const char* option;
    sim::ConsoleModel model;
};
constexpr ModelOption kModels[] = {
    {"alto", sim::ConsoleModel::Alto},          {"alto-alt", sim::ConsoleModel::AltoAlt},
    {"alto-2026", sim::ConsoleModel::Alto2026}, {"basso", sim::ConsoleModel::Basso},
    {"basso-alt", sim::ConsoleModel::BassoAlt}, {"basso-2026", sim::ConsoleModel::Basso2026}};

constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

std::string PinFields(const sim::ConsolePinEvent& e) {
    return Json::Member("pin", Json::Count(e.pin)) + ", " +
           Json::Member("direction", Json::String(e.capture ? "capture" : "render"));
}

// Hears the meter: the console pins' lives on the timeline and in the event log (the bridge opens when
// every pin the model has runs, and closes when one stops), and every block into the recording.
class SessionListener final : public sim::AudioPathListener {
public:
    SessionListener(Timeline& timeline, EventLog& events, SessionRecorder* recorder, unsigned pins, bool verbose)
        : timeline_(timeline), events_(events), recorder_(recorder), pins_(pins), verbose_(verbose) {}

    void ConsolePin(const sim::ConsolePinEvent& e) override {
        const std::string pin = std::string(e.capture ? "capture" : "render") + " pin " + std::to_string(e.pin);
        switch (e.kind) {
            case sim::ConsolePinEvent::Kind::Created:
                timeline_.Say(e.time, "bridge",
                              pin + " created: " + DescribeFormat(*e.format) +
                                  (e.looped ? ", looped streaming" : ", standard streaming"));
                events_.Add(e.time, "pin created",
                            PinFields(e) + ", " + Json::Member("format", Json::String(DescribeFormat(*e.format))));
                break;
            case sim::ConsolePinEvent::Kind::Started:
                if (verbose_)
                    timeline_.Say(e.time, "bridge", pin + " runs from console frame " + std::to_string(e.firstFrame));
                if (++running_ == pins_ && !bridged_) {
                    bridged_ = true;
                    openedAt_ = e.time;
                    timeline_.Say(e.time, "bridge", "open: every console pin runs");
                    events_.Add(e.time, "bridge open");
                }
                break;
            case sim::ConsolePinEvent::Kind::Stopped:
                if (running_ > 0) --running_;
                if (verbose_) timeline_.Say(e.time, "bridge", pin + " stopped");
                if (bridged_) {
                    bridged_ = false;
                    char text[64];
                    std::snprintf(text, sizeof text, "closed (%s stopped) after %.3f s", pin.c_str(),
                                  static_cast<double>(e.time - openedAt_) / 1e7);
                    timeline_.Say(e.time, "bridge", text);
                    events_.Add(e.time, "bridge close", PinFields(e));
                }
                break;
            case sim::ConsolePinEvent::Kind::Closed:
                if (verbose_) timeline_.Say(e.time, "bridge", pin + " closed");
                events_.Add(e.time, "pin closed", PinFields(e));
                break;
            case sim::ConsolePinEvent::Kind::Frames:
                if (recorder_) recorder_->ConsoleFrames(e);
                break;
        }
    }
    void Recorded(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                  std::uint32_t frames) override {
        if (recorder_) recorder_->Recorded(stream, firstFrame, channels, samples, frames);
    }
    void Played(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                std::uint32_t frames) override {
        if (recorder_) recorder_->Played(stream, firstFrame, channels, samples, frames);
    }

private:
    Timeline& timeline_;
    EventLog& events_;
    SessionRecorder* recorder_;
    const unsigned pins_;
    const bool verbose_;
    unsigned running_ = 0;  // machine lock held
    sim::Ticks openedAt_ = 0;
    bool bridged_ = false;  // machine lock held
};

std::string Db(const sim::LevelCount& level) {
    if (level.peak <= 0.0f) return "-";
    char text[24];
    std::snprintf(text, sizeof text, "%.0f dB", level.PeakDb());
    return text;
}

// Each second: what every capture endpoint's recorder received (peak, frames carrying the console's
// signal), what the players handed over, what the console's pins moved, and the driver's late answers.
void ReportSecond(Timeline& timeline, sim::Machine& machine, sim::AudioPathMeter& meter, const Options& o,
                  std::uint64_t lateCapture, std::uint64_t lateRender) {
    const sim::LevelSnapshot levels = meter.TakeLevels(machine.Now());
    std::string in = "in ";
    for (unsigned s = 0; s < sim::kCaptureStreamCount; ++s) {
        const sim::LevelCount& level = levels.capture[s];
        in += std::string(s ? " | " : " ") + kEndpointNames[s] + " " + Db(level) +
              (level.peak > 0.0f ? " " + std::to_string(level.identified) : "");
    }
    std::string out = "out";
    for (unsigned s = 0; s < sim::kRenderStreamCount; ++s)
        if (levels.render[s].frames)
            out += std::string(" ") + kEndpointNames[11 + s] + " " + Db(levels.render[s]) + " " +
                   std::to_string(levels.render[s].frames) + " |";
    if (o.console != "none")
        out += " console produced " + std::to_string(levels.consoleIn.frames) + " (" + Db(levels.consoleIn) +
               "), played " + std::to_string(levels.consoleOut.frames) + " (" + Db(levels.consoleOut) + ") |";
    out += " late answers " + std::to_string(lateCapture) + "/" + std::to_string(lateRender);
    timeline.Say(machine.Now(), "audio", in);
    timeline.Say(machine.Now(), "audio", out);
}

// The driver's late answers over one 100 ms step of the session loop.
struct Step {
    sim::Ticks from, to;
    std::uint64_t capture, render, silentHalves;
};

// Splits the late answers into those while audio flowed through a bridge (from the first identified
// frame after the bridge opened to its close), those while a bridge opened, and all; a step counts in a
// span only when it lies wholly inside.
DriverFigures SplitLateAnswers(const std::vector<Step>& steps, const std::vector<SessionEvent>& events,
                               const Report& report, sim::Ticks end) {
    struct Span {
        sim::Ticks open, flowing, close;
    };
    std::vector<Span> spans;
    for (const SessionEvent& e : events) {
        if (e.event == "bridge open") spans.push_back({e.time, end, end});
        if (e.event == "bridge close" && !spans.empty() && spans.back().close == end) spans.back().close = e.time;
    }
    for (const auto* paths : {&report.capture, &report.render})
        for (const sim::PathStats& p : *paths)
            for (const sim::PathRun& run : p.runs) {
                // When the run's first frame arrived: received (capture) or played (render).
                const sim::Ticks arrived = sim::MachineFrameTime(
                    paths == &report.capture
                        ? run.machineFrame
                        : run.machineFrame + static_cast<std::uint64_t>(std::max<std::int64_t>(run.minLatency, 0)));
                for (Span& span : spans)
                    if (arrived >= span.open && arrived < span.close) span.flowing = std::min(span.flowing, arrived);
            }
    DriverFigures figures;
    for (const Step& step : steps) {
        LateAnswers* into[2] = {&figures.all, nullptr};
        for (const Span& span : spans) {
            if (step.from >= span.flowing && step.to <= span.close) into[1] = &figures.flowing;
            if (step.from >= span.open && step.to <= span.flowing) into[1] = &figures.opening;
        }
        for (LateAnswers* a : into)
            if (a) {
                a->seconds += static_cast<double>(step.to - step.from) / 1e7;
                a->capture += step.capture;
                a->render += step.render;
                a->silentHalves += step.silentHalves;
            }
    }
    return figures;
}

struct ScriptStep {
    std::uint64_t atMs;
    std::function<void()> action;
};

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options& o) {
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        if (arg == "--seconds" && hasValue) {
            char* end = nullptr;
            const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
            if (!end || *end || seconds == 0 || seconds > 24 * 3600) return false;
            o.seconds = static_cast<unsigned>(seconds);
        } else if (arg == "--clock" && hasValue) {
            if (value != "virtual" && value != "real") return false;
            o.clock = value == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual;
        } else if (arg == "--seed" && hasValue) {
            char* end = nullptr;
            const unsigned long long seed = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || value[0] == '-' || !end || *end) return false;
            o.seed = seed;
        } else if (arg == "--console" && hasValue) {
            const bool known = value == "none" || std::any_of(std::begin(kModels), std::end(kModels),
                                                              [&](const ModelOption& m) { return value == m.option; });
            if (!known) return false;
            o.console = value;
        } else if (arg == "--pin-mode" && hasValue) {
            if (value != "standard" && value != "looped") return false;
            o.pinMode = value == "looped" ? sim::PinMode::Looped : sim::PinMode::Standard;
        } else if (arg == "--bits" && hasValue) {
            if (value != "16" && value != "24" && value != "32") return false;
            o.bits = static_cast<unsigned>(std::stoul(value));
        } else if (arg == "--latency" && hasValue) {
            if (value != "ultra-low" && value != "low") return false;
            o.latency = value == "low" ? 1 : 0;
        } else if (arg == "--record" && hasValue && !value.empty()) {
            o.recordDir = value;
        } else if (arg == "--no-driver") {
            o.driver = false;
            continue;
        } else if (arg == "--no-tray") {
            o.tray = false;
            continue;
        } else if (arg == "--no-script") {
            o.script = false;
            continue;
        } else if (arg == "--verbose") {
            o.verbose = true;
            continue;
        } else {
            return false;
        }
        ++i;  // the option's value
    }
    return true;
}

void PrintUsage(std::FILE* out) {
    std::fputs(
        "usage: quillon-sim [options]\n"
        "  Runs the Quillon service and its tray on a simulated Windows machine with a simulated console and\n"
        "  virtual audio driver, and prints the session as a timeline: what a user sees (balloons, the tray\n"
        "  menu's status lines, the endpoints Sound settings lists) and what an engineer wants (service states,\n"
        "  driver requests, settings written, console pins created with their formats, the bridge opening and\n"
        "  closing, each second's levels and frames), then every audio path's latency and lost frames.\n"
        "\n"
        "  --console MODEL   alto, alto-alt, alto-2026, basso, basso-alt, basso-2026 or none (default alto)\n"
        "  --pin-mode M      standard or looped: how the console's pins stream (default standard)\n"
        "  --bits N          16, 24 or 32: the only sample depth the console's pins accept\n"
        "                    (default: the console's own, 24 valid bits in 32 and 16)\n"
        "  --latency L       ultra-low or low: the Latency setting the service starts with (default ultra-low)\n"
        "  --record DIR      writes the session's audio into DIR as WAVE files aligned to the machine clock\n"
        "                    (frame i is service time i / 48000 s): console-in.wav, console-out.wav (the pins'\n"
        "                    integer formats), capture-NN-Name.wav (00-10) and render-NN-Name.wav (11-15)\n"
        "                    (32-bit float), and session.json (options, events, formats, per-path figures)\n"
        "  --seconds N       length of the session in service time (default 16; longer sessions stream\n"
        "                    longer before the user's first change)\n"
        "  --clock virtual   time jumps whenever every simulated thread waits (default; fast)\n"
        "  --clock real      the steady clock, as on a real machine\n"
        "  --seed N          which of the simulated threads ready at one instant runs first, on the virtual\n"
        "                    clock (default 1): the same seed gives the same session, byte for byte\n"
        "  --no-driver       without the virtual audio driver (the service retries once a second)\n"
        "  --no-tray         without the tray program\n"
        "  --no-script       no scripted user: nobody touches the settings or the console after the plug\n"
        "  --verbose         every driver request, shell call and pin state on its own line\n"
        "\n"
        "  The scripted session: the tray starts, the service starts at 1 s and the console is plugged in at\n"
        "  2 s; applications play a test signal into \"System\", \"Game\" and \"Music\" and record from every\n"
        "  capture endpoint throughout. At 4 s the user switches the latency (to \"Low\", or to \"Ultra-low\"\n"
        "  with --latency low), presses a channel button on the console at 5 s (mask 0x3FFF), picks\n"
        "  \"Bypass\" at 6 s and again at 8 s, unplugs the console at 9 s and plugs it back at 10 s, switches\n"
        "  the latency back at 11 s, and the service is stopped at 13 s. With --seconds N above 16 the steps\n"
        "  from 4 s on come N - 16 s later.\n",
        out);
}

int RunSession(const Options& options, std::FILE* out) {
    sim::Machine machine(options.clock, options.seed);
    Timeline timeline(out, options.verbose);
    EventLog events;
    machine.SetNoteSink([&timeline](const sim::Note& note) { timeline.Add(note); });

    const sim::ConsoleModelInfo* model = nullptr;
    for (const ModelOption& m : kModels)
        if (options.console == m.option) model = &sim::ModelInfo(m.model);
    std::fprintf(out,
                 "quillon-sim: %u s of service time on the %s clock%s; console %s (%s pins, %s); latency %s at "
                 "start; virtual audio driver %s; tray %s\n\n",
                 options.seconds, options.clock == sim::ClockMode::Virtual ? "virtual" : "real",
                 (options.clock == sim::ClockMode::Virtual ? " (seed " + std::to_string(options.seed) + ")"
                                                            : " (" + machine.HostPolicy() + ")")
                     .c_str(),
                 model ? model->displayName : "none", options.pinMode == sim::PinMode::Looped ? "looped" : "standard",
                 options.bits ? (std::to_string(options.bits) + "-bit samples only").c_str() : "its own sample depths",
                 options.latency ? "Low" : "Ultra-low", options.driver ? "present" : "absent",
                 options.tray ? "running" : "not started");

    sim::VirtualAudioDriver driver(machine);
    if (options.driver) driver.Install();
    harness::InstallService(machine);
    machine.Reg().SetDword(kSettingsKey, "Latency", options.latency);
    std::unique_ptr<sim::Console> console;
    if (model) {
        sim::ConsoleConfig config;
        config.model = model->model;
        config.pinMode = options.pinMode;
        console = std::make_unique<sim::Console>(machine, config);
        if (options.bits == 16) console->Ks().Options().sampleFormats = {{16, 16}};
        if (options.bits == 24) console->Ks().Options().sampleFormats = {{24, 24}};
        if (options.bits == 32) console->Ks().Options().sampleFormats = {{32, 32}};
        console->Hid().SetChannelMask(0xFFFF);
    }
    std::unique_ptr<SessionRecorder> recorder;
    if (!options.recordDir.empty()) {
        recorder = std::make_unique<SessionRecorder>(options.recordDir, model ? model->captureChannels : 0u,
                                                     model ? model->renderChannels : 0u, options.bits);
        if (!recorder->Ok()) {
            std::fprintf(stderr, "quillon-sim: cannot write the recording into %s\n", options.recordDir.c_str());
            machine.SetNoteSink({});
            return 1;
        }
    }
    SessionListener listener(timeline, events, recorder.get(), console && console->HasCapture() ? 2 : 1,
                             options.verbose);
    sim::AudioPathMeter meter(driver, console.get());
    meter.SetListener(&listener);

    std::shared_ptr<sim::Process> tray;
    auto say = [&](const std::string& text, const std::string& event) {
        timeline.Say(machine.Now(), "user", text);
        events.Add(machine.Now(), event);
    };
    if (options.tray) {
        say("starts the tray", "tray start");
        tray = harness::StartTray(machine);
    }

    // The script; with a longer session the steps from 4 s on move later, so the first bridge streams longer.
    const std::uint64_t later = options.seconds > 16 ? (options.seconds - 16) * 1000ull : 0;
    const char* const latencyItems[2] = {"Ultra-low", "Low"};
    auto choose = [&](const std::string& item) {
        say("picks \"" + item + "\" in the tray's menu", "user: " + item);
        harness::UseTrayMenu(machine, item);
    };
    auto plug = [&](bool in) {
        say(in ? "plugs the console in" : "unplugs the console", in ? "console plug" : "console unplug");
        if (in)
            console->Plug();
        else
            console->Unplug();
    };
    std::vector<ScriptStep> script;
    script.push_back({1000, [&] {
                          say("starts the service", "service start");
                          harness::StartService(machine);
                      }});
    if (console) script.push_back({2000, [&] { plug(true); }});
    if (options.script && options.tray) {
        script.push_back({4000 + later, [&] { choose(latencyItems[1 - options.latency]); }});
        script.push_back({6000 + later, [&] { choose("Bypass"); }});
        script.push_back({8000 + later, [&] { choose("Bypass"); }});
        script.push_back({11000 + later, [&] { choose(latencyItems[options.latency]); }});
    }
    if (options.script && console) {
        script.push_back({5000 + later, [&] {
                              say("presses a channel button on the console: mask 0x3FFF",
                                  "console: channel mask 0x3FFF");
                              console->Hid().SetChannelMask(0x3FFF);
                          }});
        script.push_back({9000 + later, [&] { plug(false); }});
        script.push_back({10000 + later, [&] { plug(true); }});
    }
    if (options.script)
        script.push_back({13000 + later, [&] {
                              say("stops the service", "service stop");
                              harness::StopService(machine);
                          }});
    std::stable_sort(script.begin(), script.end(),
                     [](const ScriptStep& a, const ScriptStep& b) { return a.atMs < b.atMs; });

    StatusWatcher status;
    SoundSettingsWatcher sound(console.get());
    std::vector<Step> steps;
    std::uint64_t lastCapture = 0, lastRender = 0, lastUnderruns = 0, secondCapture = 0, secondRender = 0;
    const std::uint64_t endMs = options.seconds * 1000ull;
    std::uint64_t nextSecond = 1000;
    std::size_t next = 0;
    while (machine.NowMs() < endMs) {
        while (next < script.size() && script[next].atMs <= machine.NowMs()) script[next++].action();
        const sim::Ticks before = machine.Now();
        machine.RunFor(100);
        status.Poll(machine, timeline, events);
        sound.Poll(machine, timeline, events);
        if (recorder) recorder->Flush();
        const std::uint64_t capture = driver.MissedCaptureAnswers(), render = driver.MissedRenderAnswers(),
                            underruns = driver.CaptureUnderruns();
        steps.push_back({before, machine.Now(), capture - lastCapture, render - lastRender, underruns - lastUnderruns});
        lastCapture = capture;
        lastRender = render;
        lastUnderruns = underruns;
        if (machine.NowMs() >= nextSecond) {
            ReportSecond(timeline, machine, meter, options, capture - secondCapture, render - secondRender);
            secondCapture = capture;
            secondRender = render;
            nextSecond = (machine.NowMs() / 1000 + 1) * 1000;
        }
    }
    timeline.Flush();

    if (tray) {
        std::fputs("\nThe tray's menu now:\n", out);
        const std::string menu = harness::TrayMenuText(machine);
        std::fputs(menu.empty() ? "(no menu opened)\n" : menu.c_str(), out);
    }
    // End of the session: stop what still runs.
    if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName))
        harness::StopService(machine);
    if (tray) harness::QuitTray(machine, tray);
    timeline.Flush();

    Report report;
    report.options = options;
    report.endSeconds = static_cast<double>(machine.Now()) / 1e7;
    report.capture = meter.CapturePaths();
    report.render = meter.RenderPaths();
    for (unsigned c = 0; c < meter.RenderChannels(); ++c) report.renderChannels.push_back(meter.RenderChannel(c));
    report.pins = meter.Pins();
    report.latencyAt = [&status](sim::Ticks t) { return status.LatencyAt(t); };
    int result = 0;
    if (recorder) {
        meter.SetListener(nullptr);
        recorder->Finish(sim::MachineFrameAt(machine.Now()));
        report.files = recorder->Files();
    }
    report.events = events.Events();
    report.driver = SplitLateAnswers(steps, report.events, report, machine.Now());
    report.driver.periods = driver.Periods();
    PrintReport(out, report);
    if (recorder && !WriteSessionJson(options.recordDir + "/session.json", report)) {
        std::fprintf(stderr, "quillon-sim: cannot write %s/session.json\n", options.recordDir.c_str());
        result = 1;
    }
    std::fprintf(out, "\nsummary: %.1f s of service time; %zu driver requests\n", report.endSeconds,
                 driver.Requests().size());
    machine.SetNoteSink({});
    return result;
}

}  // namespace quillon_sim
