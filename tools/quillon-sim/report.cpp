// quillon-sim's closing report and session.json.
#include "tools/quillon-sim/report.h"

#include <cinttypes>

#include "tools/quillon-sim/json.h"

namespace quillon_sim {

namespace {

double Seconds(sim::Ticks t) { return static_cast<double>(t) / 1e7; }
double FrameSeconds(std::uint64_t frame) { return static_cast<double>(frame) / sim::kMachineFrameRate; }
double Ms(std::int64_t frames) { return static_cast<double>(frames) * 1000.0 / sim::kMachineFrameRate; }

const char* Side(unsigned channel) { return channel == 0 ? "L" : "R"; }

std::string LatencyText(std::int64_t min, std::int64_t max) {
    char text[48];
    if (min == max)
        std::snprintf(text, sizeof text, "%.2f", Ms(min));
    else
        std::snprintf(text, sizeof text, "%.2f..%.2f", Ms(min), Ms(max));
    return text;
}

void PrintPath(std::FILE* out, const Report& r, const sim::PathStats& p, bool capture) {
    char head[96];
    if (capture)
        std::snprintf(head, sizeof head, "  capture %02u %-9s %s <- console ch %2d", p.stream, kEndpointNames[p.stream],
                      Side(p.channel), p.consoleChannel);
    else
        std::snprintf(head, sizeof head, "  render  %02u %-9s %s -> console ch %2d", p.stream, kEndpointNames[p.stream],
                      Side(p.channel), p.consoleChannel);
    std::string runs;
    for (const sim::PathRun& run : p.runs) {
        const std::string latency = r.latencyAt ? r.latencyAt(sim::MachineFrameTime(run.machineFrame)) : "";
        runs += (runs.empty() ? "" : " | ") + (latency.empty() ? "" : latency + " ") +
                LatencyText(run.minLatency, run.maxLatency);
    }
    std::string extra;
    if (p.misrouted) extra += "  misrouted " + std::to_string(p.misrouted);
    if (p.unidentified) extra += "  unidentified " + std::to_string(p.unidentified);
    std::fprintf(out, "%s  %zu run%s, latency ms %s;  dropped %" PRIu64 "  repeated %" PRIu64 "%s\n", head,
                 p.runs.size(), p.runs.size() == 1 ? "" : "s", runs.c_str(), p.dropped, p.repeated, extra.c_str());
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
           Json::Member("endpoint", Json::String(kEndpointNames[p.stream])) + ", " +
           Json::Member("channel", Json::Count(p.channel)) + ", " +
           Json::Member("consoleChannel", p.consoleChannel < 0 ? "null" : Json::Signed(p.consoleChannel)) + ", " +
           Json::Member("frames", Json::Count(p.frames)) + ", " + Json::Member("dropped", Json::Count(p.dropped)) +
           ", " + Json::Member("repeated", Json::Count(p.repeated)) + ", " +
           Json::Member("misrouted", Json::Count(p.misrouted)) + ", " +
           Json::Member("unidentified", Json::Count(p.unidentified)) + ", " +
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
                 "\nPaths, end to end (by the identifying signals; the latency of each run in ms, a..b where it "
                 "moved; frames dropped or repeated within runs):\n");
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
        std::string name = kEndpointNames[s];
        if (flowed[1] && quiet[0] != quiet[1]) name += quiet[0] ? " L" : " R";
        silent += (silent.empty() ? "" : ", ") + name;
    }
    if (!silent.empty()) std::fprintf(out, "  capture endpoints that received only silence: %s\n", silent.c_str());
    for (const sim::PathStats& p : r.render)
        if (p.Identified()) PrintPath(out, r, p, false);
    if (!r.renderChannels.empty()) {
        std::vector<std::string> words;
        for (const auto& c : r.renderChannels) {
            std::string word = c.Silent() ? "silent" : c.identified ? "signal" : "noise";
            if (c.foreign) word += " (foreign " + std::to_string(c.foreign) + ")";
            if (c.unidentified && c.identified) word += " (unidentified " + std::to_string(c.unidentified) + ")";
            words.push_back(word);
        }
        std::fprintf(out, "  console render channels: %s\n", Ranges(words).c_str());
    }

    std::fprintf(out, "\nConsole pins (formats negotiated):\n");
    if (r.pins.empty()) std::fprintf(out, "  none was created\n");
    for (const sim::PinRecord& pin : r.pins) {
        std::string ran;
        for (const auto& start : pin.starts)
            ran += (ran.empty() ? " ran " : ", ") + Json::Real(Seconds(start.time)) + "-" +
                   (start.stopped ? Json::Real(Seconds(*start.stopped)) : std::string("end")) + " s";
        std::fprintf(out, "  pin %u %-7s %s, %s: created %.3f s%s%s; %" PRIu64 " frames\n", pin.id,
                     pin.capture ? "capture" : "render", DescribeFormat(pin.format).c_str(),
                     pin.looped ? "looped" : "standard", Seconds(pin.created), ran.c_str(),
                     pin.closed ? (", closed " + Json::Real(Seconds(*pin.closed)) + " s").c_str() : "", pin.frames);
        std::fprintf(out, "    write-packet reports refused: %" PRIu64 "\n", pin.writePacketsRefused);
    }

    const DriverFigures& d = r.driver;
    std::fprintf(out,
                 "\nVirtual driver: %" PRIu64
                 " periods; late answers (capture/render) and capture halves delivered as silence:\n",
                 d.periods);
    auto line = [&](const char* what, const LateAnswers& a) {
        std::fprintf(out, "  %-52s %7.1f s  %" PRIu64 "/%" PRIu64 ", %" PRIu64 " silent halves\n", what, a.seconds,
                     a.capture, a.render, a.silentHalves);
    };
    line("while audio flowed through the bridge", d.flowing);
    line("while a bridge opened (before audio came through)", d.opening);
    line("in all (also while no bridge ran)", d.all);
    if (!r.files.empty()) {
        std::fprintf(out, "\nRecorded in %s:", r.options.recordDir.c_str());
        for (const auto& f : r.files) std::fprintf(out, " %s", f.name.c_str());
        std::fprintf(out, " session.json\n");
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
                    Json::Member("record", Json::String(o.recordDir)) + ", " +
                    Json::Member("driver", Json::Bool(o.driver)) + ", " + Json::Member("tray", Json::Bool(o.tray)) +
                    ", " + Json::Member("script", Json::Bool(o.script)) + "}") +
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

    auto late = [](const LateAnswers& a) {
        return "{" + Json::Member("seconds", Json::Real(a.seconds, 1)) + ", " +
               Json::Member("lateCaptureAnswers", Json::Count(a.capture)) + ", " +
               Json::Member("lateRenderAnswers", Json::Count(a.render)) + ", " +
               Json::Member("captureUnderruns", Json::Count(a.silentHalves)) + "}";
    };
    const DriverFigures& d = r.driver;
    text += "  \"driver\": {" + Json::Member("periods", Json::Count(d.periods)) + ", " +
            Json::Member("whileAudioFlowed", late(d.flowing)) + ", " +
            Json::Member("whileBridgeOpened", late(d.opening)) + ", " + Json::Member("all", late(d.all)) + "}\n}\n";
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace quillon_sim
