// quillon-sim's scripted session.
#include "tools/quillon-sim/session.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/sine_signal.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/harness/Programs.h"
#include "tests/harness/Tray.h"
#include "tools/quillon-sim/json.h"
#include "tools/quillon-sim/plot.h"
#include "tools/quillon-sim/recording.h"
#include "tools/quillon-sim/report.h"
#include "tools/quillon-sim/seconds.h"
#include "tools/quillon-sim/timeline.h"
#include "tools/quillon-sim/verdict.h"

namespace quillon_sim {

namespace {

constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

// Ctrl-C: the session loop ends at its next step. The handler resets itself, so a second Ctrl-C ends the
// process at once (the recording's files are valid WAVE files at every moment).
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);
extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

class InterruptHandler {
public:
    InterruptHandler() {
        gInterrupted.store(false);
        struct sigaction action = {};
        action.sa_handler = OnInterrupt;
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        sigemptyset(&action.sa_mask);
        installed_ = sigaction(SIGINT, &action, &previous_) == 0;
    }
    ~InterruptHandler() {
        if (installed_) sigaction(SIGINT, &previous_, nullptr);
    }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    struct sigaction previous_ = {};
    bool installed_ = false;
};

std::string PinFields(const sim::ConsolePinEvent& e) {
    return Json::Member("pin", Json::Count(e.pin)) + ", " +
           Json::Member("direction", Json::String(e.capture ? "capture" : "render"));
}

std::string Seconds3(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// Hears the meter: the console pins' lives on the timeline and in the event log (the bridge opens when
// every pin the model has runs, and closes when one stops), the first audio through each direction after
// an opening, and every block into the recording.
class SessionListener final : public sim::AudioPathListener {
public:
    SessionListener(Timeline& timeline, EventLog& events, SessionRecorder* recorder, const EndpointNames& names,
                    unsigned pins, bool verbose)
        : timeline_(timeline), events_(events), recorder_(recorder), names_(names), pins_(pins), verbose_(verbose) {}

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
                    awaiting_[0] = awaiting_[1] = true;
                    timeline_.Say(e.time, "bridge", "open: every console pin runs");
                    events_.Add(e.time, "bridge open");
                }
                break;
            case sim::ConsolePinEvent::Kind::Stopped:
                if (running_ > 0) --running_;
                if (verbose_) timeline_.Say(e.time, "bridge", pin + " stopped");
                if (bridged_) {
                    bridged_ = false;
                    awaiting_[0] = awaiting_[1] = false;
                    timeline_.Say(e.time, "bridge",
                                  "closed (" + pin + " stopped) after " +
                                      Seconds3(static_cast<double>(e.time - openedAt_) / 1e7) + " s");
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
    void RunStarted(const sim::PathStats& path, std::uint64_t arrival) override {
        const bool capture = path.stream < sim::kCaptureStreamCount;
        const sim::Ticks at = sim::MachineFrameTime(arrival);
        if (!awaiting_[capture ? 0 : 1] || at < openedAt_) return;
        awaiting_[capture ? 0 : 1] = false;
        const sim::PathRun& run = path.runs.back();
        const double after = static_cast<double>(at - openedAt_) / 1e4;
        char text[200];
        std::snprintf(text, sizeof text, "first audio through, %s: %s %s %.1f ms after the bridge opened (latency %.2f ms)",
                      capture ? "in" : "out", names_.PathLabel(path.stream, path.channel).c_str(),
                      capture ? "got the console's signal" : "reached the console", after,
                      static_cast<double>(run.minLatency) * 1000.0 / sim::kMachineFrameRate);
        timeline_.Say(at, "bridge", text);
        events_.Add(at, "first audio",
                    Json::Member("direction", Json::String(capture ? "capture" : "render")) + ", " +
                        Json::Member("afterOpenMs", Json::Real(after, 1)));
    }

private:
    Timeline& timeline_;
    EventLog& events_;
    SessionRecorder* recorder_;
    const EndpointNames& names_;
    const unsigned pins_;
    const bool verbose_;
    // Machine lock held for all of these.
    unsigned running_ = 0;
    sim::Ticks openedAt_ = 0;
    bool bridged_ = false;
    bool awaiting_[2] = {false, false};  // in, out: no audio through since the bridge opened
};

// The driver's late answers over one 100 ms step of the session loop.
struct Step {
    sim::Ticks from, to;
    std::uint64_t capture, render, silentHalves;
};

// Splits the late answers into those while audio flowed through a bridge (from the first audio through
// after the bridge opened to its close; steps wholly inside), those while a bridge opened (steps that
// overlap the opening, its seconds exact), and all.
DriverFigures SplitLateAnswers(const std::vector<Step>& steps, const std::vector<SessionEvent>& events,
                               sim::Ticks end) {
    struct Span {
        sim::Ticks open, flowing, close;
    };
    std::vector<Span> spans;
    for (const SessionEvent& e : events) {
        if (e.event == "bridge open") spans.push_back({e.time, end, end});
        if (spans.empty() || spans.back().close != end) continue;
        if (e.event == "first audio" && spans.back().flowing == end) spans.back().flowing = e.time;
        if (e.event == "bridge close") {
            spans.back().close = e.time;
            spans.back().flowing = std::min(spans.back().flowing, e.time);
        }
    }
    DriverFigures figures;
    for (const Span& span : spans) {
        const double opening = static_cast<double>(span.flowing - span.open) / 1e7;
        figures.opening.seconds += opening;
        figures.openings.push_back(opening);
    }
    for (const Step& step : steps) {
        LateAnswers* into[2] = {&figures.all, nullptr};
        for (const Span& span : spans) {
            if (step.from >= span.flowing && step.to <= span.close) into[1] = &figures.flowing;
            if (step.from < span.flowing && step.to > span.open) into[1] = &figures.opening;
        }
        for (LateAnswers* a : into)
            if (a) {
                if (a != &figures.opening) a->seconds += static_cast<double>(step.to - step.from) / 1e7;
                a->capture += step.capture;
                a->render += step.render;
                a->silentHalves += step.silentHalves;
            }
    }
    return figures;
}

// The spans the script disturbs: from each of its actions on the audio until audio has come through
// again in both directions, and 50 ms more (or the session's end when it does not).
std::vector<ScriptSpan> ScriptSpans(const std::vector<SessionEvent>& events, sim::Ticks end) {
    static const char* const kActions[] = {"console plug", "console unplug", "user: Bypass", "user: Low",
                                           "user: Ultra-low", "service stop"};
    std::vector<ScriptSpan> spans;
    for (const SessionEvent& e : events) {
        if (std::none_of(std::begin(kActions), std::end(kActions), [&](const char* a) { return e.event == a; }))
            continue;
        sim::Ticks until = end;
        bool through[2] = {false, false};
        for (const SessionEvent& later : events) {
            if (later.time < e.time || later.event != "first audio") continue;
            through[later.fields.find("capture") != std::string::npos ? 0 : 1] = true;
            if (through[0] && through[1]) {
                until = later.time;
                break;
            }
        }
        spans.push_back({sim::MachineFrameAt(e.time), sim::MachineFrameAt(until) + sim::kMachineFrameRate / 20});
    }
    return spans;
}

void Accumulate(sim::LevelSnapshot& into, const sim::LevelSnapshot& step) {
    auto add = [](sim::LevelCount& a, const sim::LevelCount& b) {
        a.peak = std::max(a.peak, b.peak);
        a.frames += b.frames;
        a.identified += b.identified;
    };
    for (unsigned s = 0; s < sim::kCaptureStreamCount; ++s) add(into.capture[s], step.capture[s]);
    for (unsigned s = 0; s < sim::kRenderStreamCount; ++s) add(into.render[s], step.render[s]);
    add(into.consoleIn, step.consoleIn);
    add(into.consoleOut, step.consoleOut);
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k) {
        into.captureGlitches.frames[k] += step.captureGlitches.frames[k];
        into.renderGlitches.frames[k] += step.renderGlitches.frames[k];
    }
    into.to = step.to;
}

struct ScriptStep {
    std::uint64_t atMs;
    std::function<void()> action;
};

std::string MegaBytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

int RunCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    Options options;
    const std::string error = ParseOptions(argc, argv, options);
    if (!error.empty()) {
        std::fprintf(err, "quillon-sim: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        PrintUsage(out);
        return kExitClean;
    }
    return RunSession(options, out, err);
}

namespace {

// The sine's figures per path: its breaks are the slips the report counts; here the worst THD+N of the
// windows measured once each run had settled.
void PrintSine(std::FILE* out, const std::vector<sim::PathStats>& paths) {
    std::fprintf(out, "\nSine: worst THD+N per path (dB) over windows of %u frames from %u s into each run:\n",
                 sim::SineTrack::kWindow, sim::SineTrack::kSettle / 48'000);
    int column = 0;
    double worst = -1e9;
    for (const sim::PathStats& path : paths) {
        if (path.sineWindows == 0) continue;
        worst = std::max(worst, path.worstThdPlusNoiseDb);
        std::fprintf(out, "%s%02u%c %7.1f", column ? "   " : "  ", path.stream, path.channel ? 'R' : 'L',
                     path.worstThdPlusNoiseDb);
        if (++column == 8) {
            std::fputs("\n", out);
            column = 0;
        }
    }
    if (column) std::fputs("\n", out);
    if (worst > -1e9)
        std::fprintf(out, "  worst of all paths: %.1f dB\n", worst);
    else
        std::fputs("  no path streamed long enough for a window\n", out);
}

// The service's drift correction starts with a gap in every path (its queue fills) and settles within
// seconds: from the bridge's opening to the lock the diagnostics view reports, that is the service's own
// change, as the script's are.
void NoteCorrectionStart(sim::Machine& machine, const DiagnosticsSeen& seen, std::vector<ScriptSpan>& spans) {
    const DiagnosticsRecord& r = seen.record;
    if (!seen.seen || r.lockMs == 0 || r.bridgeOpenedMs == 0 || seen.tickMs < r.bridgeOpenedMs) return;
    const sim::Ticks opened = machine.Now() - static_cast<sim::Ticks>(seen.tickMs - r.bridgeOpenedMs) * 10'000;
    const std::uint64_t from = sim::MachineFrameAt(opened > 0 ? opened : 0);
    if (!spans.empty() && spans.back().from == from) return;
    // The bridge's opening is known to a timer tick; the lock is reported once both directions have it.
    spans.push_back({from > 960 ? from - 960 : 0, from + (r.lockMs + 200ull) * sim::kMachineFrameRate / 1000});
}

}  // namespace

int RunSession(const Options& options, std::FILE* out, std::FILE* err) {
    InterruptHandler interrupt;
    sim::Machine machine(options.clock, options.seed);
    machine.SetJitter(options.jitter);
    Timeline timeline(out, options.verbose);
    EventLog events;
    EndpointNames names;
    machine.SetNoteSink([&timeline](const sim::Note& note) { timeline.Add(note); });

    const sim::ConsoleModelInfo* model = ModelOf(options.console);
    std::fprintf(out, "quillon-sim: %u s of service time on the %s clock%s\n", options.seconds,
                 options.clock == sim::ClockMode::Virtual ? "virtual" : "real",
                 (options.clock == sim::ClockMode::Virtual ? " (seed " + std::to_string(options.seed) + ")"
                                                            : " (" + machine.HostPolicy() + ")")
                     .c_str());
    if (model)
        std::fprintf(out, "  console  %s: \"%s\", %u capture and %u render channels, %s pins, %s\n",
                     options.console.c_str(), model->displayName, model->captureChannels, model->renderChannels,
                     options.pinMode == sim::PinMode::Looped ? "looped" : "standard",
                     options.bits ? (std::to_string(options.bits) + "-bit samples only").c_str()
                                  : "its own sample depths");
    else
        std::fputs("  console  none\n", out);
    auto ppm = [](std::int64_t ppb) {
        char text[32];
        std::snprintf(text, sizeof text, "%+.3g ppm", static_cast<double>(ppb) / 1000.0);
        return std::string(ppb ? text : "0 ppm");
    };
    std::fprintf(out, "  clocks   console %s, driver %s (%s); applications %s; jitter %s; drift correction %s\n",
                 ppm(options.consolePpb).c_str(), ppm(options.driverPpb).c_str(), DriverClockName(options.driverClock),
                 options.apps ? "on" : "off", options.jitter ? "on" : "off", options.driftCorrection ? "on" : "off");
    if (options.sine) std::fputs("  signal   a 997 Hz sine at -6 dBFS on every channel (--signal sine)\n", out);
    std::fprintf(out, "  service  latency %s at start; virtual audio driver %s; tray %s\n",
                 options.latency ? "Low" : "Ultra-low", options.driver ? "present" : "absent",
                 options.tray ? "running" : "not started");
    if (!options.script)
        std::fputs("  script   none (--no-script): nobody switches the latency, presses the channel button, turns\n"
                   "           Bypass on and off, unplugs the console or stops the service: the service runs until\n"
                   "           the end of the session, where it is stopped\n",
                   out);
    else if (!options.tray || !model)
        std::fprintf(out, "  script   %s\n",
                     !options.tray && !model ? "without the tray and the console: only the service's start and stop"
                     : !options.tray         ? "without the tray: no latency switches and no Bypass (menu choices)"
                                             : "without a console: no channel button, no unplug and replug");

    std::unique_ptr<SessionRecorder> recorder;
    if (!options.recordDir.empty()) {
        recorder = std::make_unique<SessionRecorder>(options.recordDir, model ? model->captureChannels : 0u,
                                                     model ? model->renderChannels : 0u, options.bits, names);
        if (!recorder->Ok()) {
            std::fprintf(err, "quillon-sim: --record %s: cannot write the recording there\n",
                         options.recordDir.c_str());
            return kExitCannotWrite;
        }
        const std::uint64_t perSecond = recorder->BytesPerSecond();
        std::fprintf(out, "  record   %zu files into %s, about %s (%s per second of session)\n", recorder->FileCount(),
                     options.recordDir.c_str(), MegaBytes(perSecond * options.seconds).c_str(),
                     MegaBytes(perSecond).c_str());
        if (recorder->Replaced())
            std::fprintf(out, "           replacing the %zu files an earlier run left there\n", recorder->Replaced());
    }
    sim::VirtualAudioDriver driver(machine);
    driver.SetClock(options.driverClock, options.driverPpb);
    if (options.driver) driver.Install();
    harness::InstallService(machine);
    machine.Reg().SetDword(kSettingsKey, "Latency", options.latency);
    machine.Reg().SetDword(std::string(kSettingsKey) + "\\Diagnostics", "DriftCorrection", options.driftCorrection ? 1 : 0);
    std::unique_ptr<sim::Console> console;
    if (model) {
        sim::ConsoleConfig config;
        config.model = model->model;
        config.pinMode = options.pinMode;
        config.clockPpb = options.consolePpb;
        config.sine = options.sine;
        console = std::make_unique<sim::Console>(machine, config);
        if (options.bits == 16) console->Ks().Options().sampleFormats = {{16, 16}};
        if (options.bits == 24) console->Ks().Options().sampleFormats = {{24, 24}};
        if (options.bits == 32) console->Ks().Options().sampleFormats = {{32, 32}};
        console->Hid().SetChannelMask(0xFFFF);
    }
    std::fputs("\n", out);
    SessionListener listener(timeline, events, recorder.get(), names, console && console->HasCapture() ? 2 : 1,
                             options.verbose);
    sim::AudioPathMeter::Options meterOptions;
    meterOptions.sine = options.sine;
    if (!options.apps) {
        meterOptions.playedStreams.clear();
        meterOptions.recorders = false;
    }
    sim::AudioPathMeter meter(driver, console.get(), meterOptions);
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
    auto latency = [&](unsigned to) {
        say(std::string("switches the latency to ") + latencyItems[to] +
                " in the tray's menu: the service reopens the bridge with " + (to ? "384" : "192") + "-frame buffers",
            std::string("user: ") + latencyItems[to]);
        harness::UseTrayMenu(machine, latencyItems[to]);
    };
    auto bypass = [&](bool on) {
        say(on ? "turns Bypass on in the tray's menu: the service leaves the console alone"
               : "turns Bypass off in the tray's menu: the service takes the console back",
            "user: Bypass");
        harness::UseTrayMenu(machine, "Bypass");
    };
    bool plugged = false;
    auto plug = [&](bool in) {
        say(in ? (plugged ? "plugs the console back in" : "plugs the console in") : "unplugs the console",
            in ? "console plug" : "console unplug");
        if (in)
            console->Plug();
        else
            console->Unplug();
        plugged = true;
    };
    std::vector<ScriptStep> script;
    script.push_back({1000, [&] {
                          say("starts the service", "service start");
                          harness::StartService(machine);
                      }});
    if (console) script.push_back({2000, [&] { plug(true); }});
    if (options.script && options.tray) {
        script.push_back({4000 + later, [&] { latency(1 - options.latency); }});
        script.push_back({6000 + later, [&] { bypass(true); }});
        script.push_back({8000 + later, [&] { bypass(false); }});
        script.push_back({11000 + later, [&] { latency(options.latency); }});
    }
    if (options.script && console) {
        script.push_back({5000 + later, [&] {
                              say("presses a channel button on the console: channel mask 0x3FFF",
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
    DiagnosticsSeen diagnostics;
    std::vector<ScriptSpan> correctionSpans;
    SoundSettingsWatcher sound(console.get(), names);
    AudioSeconds seconds(timeline, names, console != nullptr);
    std::vector<Step> steps;
    std::vector<sim::LevelSnapshot> levels;  // per step, for the picture
    sim::LevelSnapshot second;
    std::uint64_t lastCapture = 0, lastRender = 0, lastUnderruns = 0, secondCapture = 0, secondRender = 0;
    const std::uint64_t endMs = options.seconds * 1000ull;
    std::uint64_t nextSecond = 1000;
    std::size_t next = 0;
    bool interrupted = false;
    while (machine.NowMs() < endMs) {
        if (gInterrupted.load()) {
            interrupted = true;
            say("presses Ctrl-C: the session ends here", "interrupted");
            break;
        }
        while (next < script.size() && script[next].atMs <= machine.NowMs()) script[next++].action();
        const sim::Ticks before = machine.Now();
        machine.RunFor(100);
        status.Poll(machine, timeline, events);
        sound.Poll(machine, timeline, events);
        PollDiagnostics(machine, diagnostics);
        NoteCorrectionStart(machine, diagnostics, correctionSpans);
        if (recorder) recorder->Flush();
        const std::uint64_t capture = driver.MissedCaptureAnswers(), render = driver.MissedRenderAnswers(),
                            underruns = driver.CaptureUnderruns();
        steps.push_back({before, machine.Now(), capture - lastCapture, render - lastRender, underruns - lastUnderruns});
        lastCapture = capture;
        lastRender = render;
        lastUnderruns = underruns;
        levels.push_back(meter.TakeLevels(machine.Now()));
        Accumulate(second, levels.back());
        if (machine.NowMs() >= nextSecond) {
            seconds.Report(machine.Now(), second, capture - secondCapture, render - secondRender);
            second = {};
            secondCapture = capture;
            secondRender = render;
            nextSecond = (machine.NowMs() / 1000 + 1) * 1000;
        }
    }
    timeline.Flush();

    // End of the session: stop what still runs, then show the tray's menu as it is now.
    if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName)) {
        say("(end of the session) stops the service", "service stop");
        harness::StopService(machine);
    }
    timeline.Flush();
    if (tray) {
        std::fprintf(out, "\nThe tray's menu at %.1f s:\n", static_cast<double>(machine.Now()) / 1e7);
        const std::string menu = harness::TrayMenuText(machine);
        std::fputs(menu.empty() ? "(no menu opened)\n" : menu.c_str(), out);
        harness::QuitTray(machine, tray);
    }
    timeline.Flush();

    Report report;
    report.options = options;
    report.names = &names;
    report.interrupted = interrupted;
    report.endSeconds = static_cast<double>(machine.Now()) / 1e7;
    report.capture = meter.CapturePaths();
    report.render = meter.RenderPaths();
    report.glitches = meter.Glitches();
    for (unsigned c = 0; c < meter.RenderChannels(); ++c) report.renderChannels.push_back(meter.RenderChannel(c));
    report.pins = meter.Pins();
    report.diagnostics = diagnostics;
    report.latencyAt = [&status](sim::Ticks t) { return status.LatencyAt(t); };
    int result = kExitClean;
    if (recorder) {
        meter.SetListener(nullptr);
        recorder->Finish(sim::MachineFrameAt(machine.Now()), names);
        report.files = recorder->Files();
        if (!recorder->Ok()) {
            std::fprintf(err, "quillon-sim: --record %s: a write failed (is the disk full?)\n",
                         options.recordDir.c_str());
            result = kExitCannotWrite;
        }
    }
    report.events = events.Events();
    report.driver = SplitLateAnswers(steps, report.events, machine.Now());
    report.driver.periods = driver.Periods();
    report.spans = ScriptSpans(report.events, machine.Now());
    report.spans.insert(report.spans.end(), correctionSpans.begin(), correctionSpans.end());
    std::vector<sim::PathStats> all = report.capture;
    all.insert(all.end(), report.render.begin(), report.render.end());
    report.verdict = Judge(all, report.glitches, report.spans);
    PrintReport(out, report);
    if (options.sine) PrintSine(out, all);
    if (recorder && !WriteSessionJson(options.recordDir + "/session.json", report)) {
        std::fprintf(err, "quillon-sim: --record %s: cannot write session.json\n", options.recordDir.c_str());
        result = kExitCannotWrite;
    }
    if (!options.plotFile.empty()) {
        PlotData plot{&report, &levels};
        if (!WritePlot(options.plotFile, plot)) {
            std::fprintf(err, "quillon-sim: --plot %s: cannot write the picture\n", options.plotFile.c_str());
            result = kExitCannotWrite;
        } else {
            std::fprintf(out, "Picture: %s\n", options.plotFile.c_str());
        }
    }
    std::fprintf(out, "\nquillon-sim --help explains periods, halves, late answers and the identifying signal.\n");
    std::fprintf(out, "summary: %s (%.1f s%s)\n", VerdictText(report.verdict, names).c_str(), report.endSeconds,
                 interrupted ? ", ended by Ctrl-C" : "");
    machine.SetNoteSink({});
    return result != kExitClean ? result : report.verdict.exitCode;
}

}  // namespace quillon_sim
