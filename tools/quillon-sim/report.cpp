// quillon-sim's closing report and session.json.
#include "tools/quillon-sim/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "tools/quillon-sim/json.h"

namespace quillon_sim {

namespace {

double Seconds(sim::Ticks t) { return static_cast<double>(t) / 1e7; }
double FrameSeconds(std::uint64_t frame) { return static_cast<double>(frame) / sim::kMachineFrameRate; }
double Ms(std::int64_t frames) { return static_cast<double>(frames) * 1000.0 / sim::kMachineFrameRate; }

std::string LatencyText(std::int64_t min, std::int64_t max) {
    char text[48];
    if (min == max)
        std::snprintf(text, sizeof text, "%.2f", Ms(min));
    else
        std::snprintf(text, sizeof text, "%.2f..%.2f", Ms(min), Ms(max));
    return text;
}

// Prints `text` after `first`, broken at spaces into lines of at most kTimelineWidth columns, the
// continuation lines indented by `indent`.
void PrintWrapped(std::FILE* out, const std::string& first, const std::string& text, std::size_t indent) {
    std::string line = first;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (line.size() + 1 + word.size() > kTimelineWidth && line.size() > indent) {
            std::fprintf(out, "%s\n", line.c_str());
            line = std::string(indent, ' ');
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
        line += word;
        at = end + 1;
    }
    std::fprintf(out, "%s\n", line.c_str());
}

constexpr std::size_t kGlitchColumn = 80;  // where the path lines' glitch columns start

void PrintPathHeader(std::FILE* out) {
    std::string head = "  path                     console  latency of each run, ms ";
    head.resize(kGlitchColumn, ' ');
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k) {
        char cell[32];
        std::snprintf(cell, sizeof cell, "%*s", GlitchColumnWidth(k), sim::GlitchKindName(static_cast<sim::GlitchKind>(k)));
        head += cell;
    }
    std::fprintf(out, "%s fr\n", head.c_str());
}

// "  capture 01 Combo1 L       <- ch  2  UL 4.00, L 6.00, ...        0        0         0": the setting
// in force at each run's start (UL Ultra-low, L Low), its latency, and the path's glitches per kind.
void PrintPath(std::FILE* out, const Report& r, const sim::PathStats& p, bool capture) {
    char head[96];
    std::snprintf(head, sizeof head, "  %-24s %s ch %2d  ", r.names->PathLabel(p.stream, p.channel).c_str(),
                  capture ? "<-" : "->", p.consoleChannel);
    std::string runs;
    for (const sim::PathRun& run : p.runs) {
        const std::string latency = r.latencyAt ? r.latencyAt(sim::MachineFrameTime(run.machineFrame)) : "";
        runs += (runs.empty() ? "" : ", ") +
                (latency == "ultra-low" ? std::string("UL ") : latency == "low" ? std::string("L ") : "") +
                LatencyText(run.minLatency, run.maxLatency);
    }
    std::string glitches;
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k) {
        char cell[32];
        std::snprintf(cell, sizeof cell, "%*" PRIu64, GlitchColumnWidth(k), p.glitches.frames[k]);
        glitches += cell;
    }
    const std::size_t kRunsWidth = kGlitchColumn - std::strlen(head);
    if (runs.size() > kRunsWidth) {  // many runs: the first, the last and how many
        const auto last = runs.rfind(", ");
        runs = runs.substr(0, runs.find(", ")) + " .. " + runs.substr(last + 2) + " (" +
               std::to_string(p.runs.size()) + " runs)";
    }
    runs.resize(std::max(runs.size(), kRunsWidth), ' ');
    std::fprintf(out, "%s%s%s\n", head, runs.c_str(), glitches.c_str());
}

// "0-5 signal, 6-11 silent" from one word per channel.
std::string Ranges(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size();) {
        std::size_t j = i;
        while (j + 1 < words.size() && words[j + 1] == words[i]) ++j;
        text += (text.empty() ? "" : ", ") + std::string("ch ") + std::to_string(i) +
                (j > i ? "-" + std::to_string(j) : "") + " " + words[i];
        i = j + 1;
    }
    return text;
}

std::string FormatJson(const sim::KsWaveFormat& f) {
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%X", static_cast<unsigned>(f.channelMask));
    return "{" + Json::Member("channels", Json::Count(f.channels)) + ", " + Json::Member("rate", Json::Count(f.rate)) +
           ", " + Json::Member("containerBits", Json::Count(f.containerBits)) + ", " +
           Json::Member("validBits", Json::Count(f.validBits)) + ", " +
           Json::Member("sampleType", Json::String(f.subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT ? "float" : "pcm")) +
           ", " + Json::Member("extensible", Json::Bool(f.tag == WAVE_FORMAT_EXTENSIBLE)) + ", " +
           Json::Member("channelMask", Json::String(mask)) + "}";
}

// {"dropped": 0, "repeated": 0, ...}
std::string Counts(const sim::GlitchCounts& counts) {
    std::string text;
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k)
        text += (k ? ", " : "") + Json::Member(sim::GlitchKindName(static_cast<sim::GlitchKind>(k)),
                                               Json::Count(counts.frames[k]));
    return "{" + text + "}";
}

std::string PathJson(const Report& r, const sim::PathStats& p, bool capture) {
    std::string runs;
    for (const sim::PathRun& run : p.runs) {
        const std::string latency = r.latencyAt ? r.latencyAt(sim::MachineFrameTime(run.machineFrame)) : "";
        runs += std::string(runs.empty() ? "" : ",\n        ") + "{" +
                Json::Member("start", Json::Real(FrameSeconds(run.machineFrame), 4)) + ", " +
                Json::Member("latencySetting", Json::String(latency)) + ", " +
                Json::Member("consoleFrame", Json::Count(run.consoleFrame)) + ", " +
                Json::Member("machineFrame", Json::Count(run.machineFrame)) + ", " +
                Json::Member("frames", Json::Count(run.frames)) + ", " +
                Json::Member("latencyMs", "{\"min\": " + Json::Real(Ms(run.minLatency), 4) +
                                              ", \"max\": " + Json::Real(Ms(run.maxLatency), 4) + "}") +
                ", " + Json::Member("dropped", Json::Count(run.dropped)) + ", " +
                Json::Member("repeated", Json::Count(run.repeated)) + "}";
    }
    const bool any = p.Identified();
    return "{" + Json::Member("direction", Json::String(capture ? "capture" : "render")) + ", " +
           Json::Member("stream", Json::Count(p.stream)) + ", " +
           Json::Member("endpoint", Json::String(r.names->Name(p.stream))) + ", " +
           Json::Member("channel", Json::Count(p.channel)) + ", " +
           Json::Member("consoleChannel", p.consoleChannel < 0 ? "null" : Json::Signed(p.consoleChannel)) + ", " +
           Json::Member("frames", Json::Count(p.frames)) + ", " + Json::Member("dropped", Json::Count(p.dropped)) +
           ", " + Json::Member("repeated", Json::Count(p.repeated)) + ", " +
           Json::Member("misrouted", Json::Count(p.misrouted)) + ", " +
           Json::Member("unidentified", Json::Count(p.unidentified)) + ", " + Json::Member("glitches", Counts(p.glitches)) +
           ", " +
           Json::Member("latencyMs", any ? "{\"min\": " + Json::Real(p.MinLatencyMs(), 4) +
                                               ", \"max\": " + Json::Real(p.MaxLatencyMs(), 4) + "}"
                                         : "null") +
           ",\n      " + Json::Member("runs", "[" + runs + "]") + "}";
}

}  // namespace

std::string DescribeFormat(const sim::KsWaveFormat& f) {
    std::string text = std::to_string(f.channels) + " ch, " + std::to_string(f.containerBits) + "-bit";
    if (f.validBits != f.containerBits) text += " (" + std::to_string(f.validBits) + " valid)";
    text += f.subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT ? " float" : " PCM";
    text += ", " + std::to_string(f.rate) + " Hz";
    if (f.tag == WAVE_FORMAT_EXTENSIBLE) {
        char mask[40];
        std::snprintf(mask, sizeof mask, ", extensible, mask 0x%X", static_cast<unsigned>(f.channelMask));
        text += mask;
    }
    return text;
}

void PrintReport(std::FILE* out, const Report& r) {
    std::fprintf(out,
                 "\nPaths, end to end, by the identifying signals: the latency of each run (UL Ultra-low, L Low;\n"
                 "a..b where it moved) and the frames glitched within runs:\n");
    PrintPathHeader(out);
    std::string silent;  // capture endpoints (or one channel of one) that flowed but carried nothing
    for (unsigned s = 0; s < sim::kCaptureStreamCount; ++s) {
        bool flowed[2], quiet[2];
        for (unsigned ch = 0; ch < 2; ++ch) {
            const sim::PathStats& p = r.capture[2 * s + ch];
            if (p.Identified()) PrintPath(out, r, p, true);
            flowed[ch] = p.frames + p.silentFrames + p.unidentified > 0;
            quiet[ch] = flowed[ch] && !p.Identified();
        }
        if (!quiet[0] && !quiet[1]) continue;
        std::string name = r.names->Label(s);
        if (flowed[1] && quiet[0] != quiet[1]) name += quiet[0] ? " L" : " R";
        silent += (silent.empty() ? "" : ", ") + name;
    }
    for (const sim::PathStats& p : r.render)
        if (p.Identified()) PrintPath(out, r, p, false);
    if (!silent.empty()) PrintWrapped(out, "  capture endpoints that received only silence:", silent, 4);
    std::string unidentified;
    for (const auto* paths : {&r.capture, &r.render})
        for (const sim::PathStats& p : *paths)
            if (p.unidentified)
                unidentified += (unidentified.empty() ? "" : ", ") + r.names->PathLabel(p.stream, p.channel) + " " +
                                std::to_string(p.unidentified);
    if (!unidentified.empty()) PrintWrapped(out, "  samples the signal never carries:", unidentified, 4);
    if (!r.renderChannels.empty()) {
        std::vector<std::string> words;
        for (const auto& c : r.renderChannels) {
            std::string word = c.Silent() ? "silent" : c.identified ? "signal" : "noise";
            if (c.foreign) word += " (foreign " + std::to_string(c.foreign) + ")";
            if (c.unidentified && c.identified) word += " (unidentified " + std::to_string(c.unidentified) + ")";
            words.push_back(word);
        }
        PrintWrapped(out, "  console render channels:", Ranges(words), 4);
    }

    if (!r.glitches.empty()) {
        std::fprintf(out, "\nGlitches (the first 20; \"script\" marks those within the script's own changes):\n");
        std::size_t shown = 0;
        for (const sim::Glitch& g : r.glitches) {
            if (shown++ == 20) break;
            const bool scripted = std::any_of(r.spans.begin(), r.spans.end(), [&](const ScriptSpan& span) {
                return g.first >= span.from && g.last < span.to;
            });
            std::fprintf(out, "  %9.3f s  %-26s %-9s %8" PRIu64 " fr%s\n", FrameSeconds(g.first),
                         r.names->PathLabel(g.stream, g.channel).c_str(), sim::GlitchKindName(g.kind), g.frames,
                         scripted ? "  script" : "");
        }
        if (r.glitches.size() > 20) std::fprintf(out, "  ... %zu more in session.json\n", r.glitches.size() - 20);
    }

    std::fprintf(out, "\nConsole pins (formats negotiated):\n");
    if (r.pins.empty()) std::fprintf(out, "  none was created\n");
    for (const sim::PinRecord& pin : r.pins) {
        std::string ran;
        for (const auto& start : pin.starts)
            ran += (ran.empty() ? ", ran " : ", ") + Json::Real(Seconds(start.time)) + "-" +
                   (start.stopped ? Json::Real(Seconds(*start.stopped)) : std::string("end")) + " s";
        std::fprintf(out, "  pin %-2u %-7s %s, %s streaming\n", pin.id, pin.capture ? "capture" : "render",
                     DescribeFormat(pin.format).c_str(), pin.looped ? "looped" : "standard");
        std::fprintf(out, "         created %.3f s%s%s; %" PRIu64 " frames; write-packet reports refused: %" PRIu64 "\n",
                     Seconds(pin.created), ran.c_str(),
                     pin.closed ? (", closed " + Json::Real(Seconds(*pin.closed)) + " s").c_str() : "", pin.frames,
                     pin.writePacketsRefused);
    }

    const DriverFigures& d = r.driver;
    std::fprintf(out,
                 "\nVirtual driver: %" PRIu64 " periods; late answers (in: capture, out: render; in periods) and\n"
                 "capture halves the recording applications got as silence:\n",
                 d.periods);
    auto line = [&](const std::string& what, const LateAnswers& a) {
        std::fprintf(out, "  %-56s %7.3f s  in %5" PRIu64 "  out %5" PRIu64 "  silent halves %6" PRIu64 "\n",
                     what.c_str(), a.seconds, a.capture, a.render, a.silentHalves);
    };
    line("while audio flowed through a bridge", d.flowing);
    std::string opening = "opening bridges, until audio came through";
    if (!d.openings.empty()) {
        const auto [min, max] = std::minmax_element(d.openings.begin(), d.openings.end());
        char range[64];
        std::snprintf(range, sizeof range, " (%zu: %.0f-%.0f ms)", d.openings.size(), *min * 1000, *max * 1000);
        opening += range;
    }
    line(opening, d.opening);
    line("in all (also while no bridge ran: nobody answers)", d.all);
    PrintDiagnostics(out, r.diagnostics);
    if (!r.files.empty()) {
        std::string names;
        for (const auto& f : r.files) names += f.name + " ";
        PrintWrapped(out, "\nRecorded in " + r.options.recordDir + ":", names + "session.json", 2);
    }
}

bool WriteSessionJson(const std::string& path, const Report& r) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const Options& o = r.options;
    std::string text = "{\n";
    text += "  " + Json::Member("tool", Json::String("quillon-sim")) + ",\n";
    text += "  " +
            Json::Member(
                "options",
                "{" + Json::Member("console", Json::String(o.console)) + ", " +
                    Json::Member("pinMode", Json::String(o.pinMode == sim::PinMode::Looped ? "looped" : "standard")) +
                    ", " + Json::Member("bits", o.bits ? Json::Count(o.bits) : "null") + ", " +
                    Json::Member("latency", Json::String(o.latency ? "low" : "ultra-low")) + ", " +
                    Json::Member("seconds", Json::Count(o.seconds)) + ", " +
                    Json::Member("clock", Json::String(o.clock == sim::ClockMode::Real ? "real" : "virtual")) + ", " +
                    Json::Member("seed", std::to_string(o.seed)) + ", " +
                    Json::Member("consolePpm", Json::Real(static_cast<double>(o.consolePpb) / 1000.0)) + ", " +
                    Json::Member("driverPpm", Json::Real(static_cast<double>(o.driverPpb) / 1000.0)) + ", " +
                    Json::Member("driverClock", Json::String(DriverClockName(o.driverClock))) + ", " +
                    Json::Member("apps", Json::Bool(o.apps)) + ", " + Json::Member("jitter", Json::Bool(o.jitter)) +
                    ", " +
                    Json::Member("record", Json::String(o.recordDir)) + ", " +
                    Json::Member("driver", Json::Bool(o.driver)) + ", " + Json::Member("tray", Json::Bool(o.tray)) +
                    ", " + Json::Member("script", Json::Bool(o.script)) + ", " +
                    Json::Member("plot", Json::String(o.plotFile)) + "}") +
            ",\n";
    text += "  " + Json::Member("interrupted", Json::Bool(r.interrupted)) + ",\n";
    text += "  " +
            Json::Member("verdict", "{" + Json::Member("exitCode", Json::Count(static_cast<unsigned>(r.verdict.exitCode))) +
                                        ", " + Json::Member("text", Json::String(VerdictText(r.verdict, *r.names))) +
                                        ", " + Json::Member("outsideScript", Counts(r.verdict.outside)) + ", " +
                                        Json::Member("withinScript", Counts(r.verdict.inside)) + "}") +
            ",\n";
    text += "  " + Json::Member("sampleRate", "48000") + ",\n";
    text += "  " + Json::Member("durationSeconds", Json::Real(r.endSeconds)) + ",\n";

    text += "  \"files\": [";
    for (std::size_t i = 0; i < r.files.size(); ++i) {
        const auto& file = r.files[i];
        text += std::string(i ? "," : "") + "\n    {" + Json::Member("name", Json::String(file.name)) + ", " +
                Json::Member("what", Json::String(file.what)) + ", " +
                Json::Member("channels", Json::Count(file.format.channels)) + ", " +
                Json::Member("containerBits", Json::Count(file.format.containerBits)) + ", " +
                Json::Member("validBits", Json::Count(file.format.validBits)) + ", " +
                Json::Member("sampleType", Json::String(file.format.isFloat ? "float" : "pcm")) + ", " +
                Json::Member("frames", Json::Count(file.frames)) + ", " +
                Json::Member("overlappedFramesLost", Json::Count(file.overlapped)) + "}";
    }
    text += "\n  ],\n";

    text += "  \"events\": [";
    for (std::size_t i = 0; i < r.events.size(); ++i) {
        const SessionEvent& e = r.events[i];
        text += std::string(i ? "," : "") + "\n    {" + Json::Member("time", Json::Real(Seconds(e.time), 4)) + ", " +
                Json::Member("event", Json::String(e.event)) + (e.fields.empty() ? "" : ", " + e.fields) + "}";
    }
    text += "\n  ],\n";

    text += "  \"formats\": [";
    for (std::size_t i = 0; i < r.pins.size(); ++i) {
        const sim::PinRecord& pin = r.pins[i];
        text += std::string(i ? "," : "") + "\n    {" + Json::Member("time", Json::Real(Seconds(pin.created), 4)) +
                ", " + Json::Member("pin", Json::Count(pin.id)) + ", " +
                Json::Member("direction", Json::String(pin.capture ? "capture" : "render")) + ", " +
                Json::Member("mode", Json::String(pin.looped ? "looped" : "standard")) + ", " +
                Json::Member("format", FormatJson(pin.format)) + ", " +
                Json::Member("closed", pin.closed ? Json::Real(Seconds(*pin.closed), 4) : "null") + ", " +
                Json::Member("frames", Json::Count(pin.frames)) + ", " +
                Json::Member("writePacketReportsRefused", Json::Count(pin.writePacketsRefused)) + "}";
    }
    text += "\n  ],\n";

    text += "  \"paths\": [";
    bool first = true;
    for (const auto* paths : {&r.capture, &r.render})
        for (const sim::PathStats& p : *paths) {
            if (!p.Identified()) continue;
            text += std::string(first ? "" : ",") + "\n    " + PathJson(r, p, paths == &r.capture);
            first = false;
        }
    text += "\n  ],\n";

    text += "  \"glitches\": [";
    for (std::size_t i = 0; i < r.glitches.size(); ++i) {
        const sim::Glitch& g = r.glitches[i];
        text += std::string(i ? "," : "") + "\n    {" +
                Json::Member("direction", Json::String(g.capture ? "capture" : "render")) + ", " +
                Json::Member("stream", Json::Count(g.stream)) + ", " + Json::Member("channel", Json::Count(g.channel)) +
                ", " + Json::Member("kind", Json::String(sim::GlitchKindName(g.kind))) + ", " +
                Json::Member("from", Json::Real(FrameSeconds(g.first), 4)) + ", " +
                Json::Member("to", Json::Real(FrameSeconds(g.last), 4)) + ", " +
                Json::Member("frames", Json::Count(g.frames)) + "}";
    }
    text += "\n  ],\n";

    auto late = [](const LateAnswers& a) {
        return "{" + Json::Member("seconds", Json::Real(a.seconds, 1)) + ", " +
               Json::Member("lateCaptureAnswers", Json::Count(a.capture)) + ", " +
               Json::Member("lateRenderAnswers", Json::Count(a.render)) + ", " +
               Json::Member("captureUnderruns", Json::Count(a.silentHalves)) + "}";
    };
    const DriverFigures& d = r.driver;
    text += "  \"driver\": {" + Json::Member("periods", Json::Count(d.periods)) + ", " +
            Json::Member("whileAudioFlowed", late(d.flowing)) + ", " +
            Json::Member("whileBridgeOpened", late(d.opening)) + ", " + Json::Member("all", late(d.all)) + "},\n";
    text += "  " + Json::Member("diagnostics", DiagnosticsJson(r.diagnostics)) + "\n}\n";
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace quillon_sim
