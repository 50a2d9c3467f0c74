// quillon-sim's picture of the session.
#include "tools/quillon-sim/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillon_sim {

namespace {

constexpr double kWidth = 1200, kLeft = 190, kRight = 24, kTop = 78, kLane = 16, kBottom = 64;
const char* const kKindColours[] = {"#d62728", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"};

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

const char* KindColour(sim::GlitchKind kind) {
    return kKindColours[static_cast<std::size_t>(kind) % std::size(kKindColours)];
}

// The user's actions and the service's start and stop, as labels for the vertical lines.
std::string EventLabel(const std::string& event, int& bypasses) {
    if (event == "service start") return "service start";
    if (event == "service stop") return "service stop";
    if (event == "console plug") return "plug";
    if (event == "console unplug") return "unplug";
    if (event == "user: Low") return "latency Low";
    if (event == "user: Ultra-low") return "latency Ultra-low";
    if (event == "user: Bypass") return ++bypasses % 2 ? "Bypass on" : "Bypass off";
    if (event.rfind("console: channel mask", 0) == 0) return "channel button";
    if (event == "interrupted") return "Ctrl-C";
    return {};
}

}  // namespace

std::string RenderPlot(const PlotData& data) {
    const Report& r = *data.report;
    const EndpointNames& names = *r.names;
    struct Lane {
        const sim::PathStats* path;
        bool capture;
    };
    std::vector<Lane> lanes;
    for (const auto* paths : {&r.capture, &r.render})
        for (const sim::PathStats& p : *paths)
            if (p.Identified() || p.unidentified || (paths == &r.capture && p.silentFrames))
                lanes.push_back({&p, paths == &r.capture});
    const double end = std::max(r.endSeconds, 1.0);
    const double plotWidth = kWidth - kLeft - kRight;
    const double height = kTop + kLane * static_cast<double>(std::max<std::size_t>(lanes.size(), 1)) + kBottom;
    const double lanesBottom = kTop + kLane * static_cast<double>(lanes.size());
    auto x = [&](double seconds) { return kLeft + std::clamp(seconds / end, 0.0, 1.0) * plotWidth; };
    auto frameX = [&](std::uint64_t frame) { return x(static_cast<double>(frame) / sim::kMachineFrameRate); };

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + Num(kWidth) + "\" height=\"" +
           Num(height) + "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) +
           "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"10\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";

    // Title: the settings, then the verdict.
    const Options& o = r.options;
    const sim::ConsoleModelInfo* model = ModelOf(o.console);
    std::string settings = "quillon-sim: console " + o.console + (model ? std::string(" (") + model->displayName + ")" : "") +
                           ", " + (o.pinMode == sim::PinMode::Looped ? "looped" : "standard") + " pins, " +
                           (o.bits ? std::to_string(o.bits) + "-bit samples" : "its own sample depths") + ", latency " +
                           (o.latency ? "Low" : "Ultra-low") + " at start, " +
                           (o.clock == sim::ClockMode::Real ? "real clock"
                                                            : "virtual clock (seed " + std::to_string(o.seed) + ")") +
                           ", " + Num(r.endSeconds) + " s" + (o.script ? "" : ", no script") +
                           (o.driver ? "" : ", no driver") + (o.tray ? "" : ", no tray");
    svg += "<text x=\"12\" y=\"18\" font-size=\"13\" font-weight=\"bold\">" + Escape(settings) + "</text>\n";
    svg += "<text x=\"12\" y=\"34\" font-size=\"11\" fill=\"" + std::string(r.verdict.exitCode ? "#b00000" : "#006000") +
           "\">" + Escape(VerdictText(r.verdict, names)) + "</text>\n";

    // Lanes: the name, the level each step, the runs with their latency, the glitches.
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        const sim::PathStats& p = *lanes[i].path;
        const double top = kTop + kLane * static_cast<double>(i);
        svg += "<g>\n";
        if (i % 2) svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(top) + "\" width=\"" + Num(plotWidth) +
                          "\" height=\"" + Num(kLane) + "\" fill=\"#f4f4f4\"/>\n";
        svg += "<text x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(top + 11.5) + "\" text-anchor=\"end\">" +
               Escape(names.PathLabel(p.stream, p.channel)) + "</text>\n";
        const char* colour = lanes[i].capture ? "#1f77b4" : "#2ca02c";
        // Level: opacity from -60 dBFS (none) to 0 dBFS (full), merged over steps alike.
        double from = 0, opacity = 0;
        auto flush = [&](double to) {
            if (opacity > 0)
                svg += "<rect x=\"" + Num(x(from)) + "\" y=\"" + Num(top + 2) + "\" width=\"" + Num(x(to) - x(from)) +
                       "\" height=\"" + Num(kLane - 4) + "\" fill=\"" + colour + "\" fill-opacity=\"" + Num(opacity) +
                       "\"/>\n";
        };
        for (const sim::LevelSnapshot& step : *data.levels) {
            const sim::LevelCount& level =
                lanes[i].capture ? step.capture[p.stream] : step.render[p.stream - sim::kFirstRenderStream];
            const double db = level.peak > 0.0f ? level.PeakDb() : -60.0;
            const double a = std::round(std::clamp((db + 60.0) / 60.0, 0.0, 1.0) * 0.6 * 10) / 10;
            const double t0 = static_cast<double>(step.from) / 1e7;
            if (a != opacity) {
                flush(t0);
                from = t0;
                opacity = a;
            }
        }
        flush(data.levels->empty() ? 0 : static_cast<double>(data.levels->back().to) / 1e7);
        for (const sim::PathRun& run : p.runs) {
            const std::uint64_t start =
                lanes[i].capture ? run.machineFrame
                                 : run.machineFrame + static_cast<std::uint64_t>(std::max<std::int64_t>(run.minLatency, 0));
            const double x0 = frameX(start), x1 = std::max(frameX(start + run.frames), x0 + 1);
            svg += "<rect x=\"" + Num(x0) + "\" y=\"" + Num(top + kLane - 4) + "\" width=\"" + Num(x1 - x0) +
                   "\" height=\"2\" fill=\"#333333\"/>\n";
            char latency[48];
            std::snprintf(latency, sizeof latency, "%.2f ms", static_cast<double>(run.minLatency) * 1000.0 / sim::kMachineFrameRate);
            svg += "<text x=\"" + Num(x0 + 2) + "\" y=\"" + Num(top + 10) + "\" font-size=\"8\" fill=\"#333333\">" +
                   latency + "</text>\n";
        }
        svg += "</g>\n";
    }
    for (const sim::Glitch& g : r.glitches) {
        std::size_t lane = 0;
        while (lane < lanes.size() &&
               !(lanes[lane].path->stream == g.stream && lanes[lane].path->channel == g.channel))
            ++lane;
        if (lane == lanes.size()) continue;
        const double top = kTop + kLane * static_cast<double>(lane);
        const double x0 = frameX(g.first), x1 = std::max(frameX(g.last), x0 + 2);
        char title[160];
        std::snprintf(title, sizeof title, "%s %llu fr at %.3f s", sim::GlitchKindName(g.kind),
                      static_cast<unsigned long long>(g.frames), static_cast<double>(g.first) / sim::kMachineFrameRate);
        svg += "<rect x=\"" + Num(x0 - 1) + "\" y=\"" + Num(top) + "\" width=\"" + Num(x1 - x0 + 2) + "\" height=\"" +
               Num(kLane) + "\" fill=\"" + KindColour(g.kind) + "\"><title>" + Escape(title) + "</title></rect>\n";
    }

    // Events: a dashed line each, labels on two alternating rows above the lanes.
    int bypasses = 0, row = 0;
    for (const SessionEvent& e : r.events) {
        const std::string label = EventLabel(e.event, bypasses);
        if (label.empty()) continue;
        const double ex = x(static_cast<double>(e.time) / 1e7);
        const double labelY = kTop - 8 - 12 * (row++ % 2);
        svg += "<line x1=\"" + Num(ex) + "\" y1=\"" + Num(labelY + 2) + "\" x2=\"" + Num(ex) + "\" y2=\"" +
               Num(lanesBottom) + "\" stroke=\"#555555\" stroke-width=\"1\" stroke-dasharray=\"3,3\"/>\n";
        svg += "<text x=\"" + Num(ex + 2) + "\" y=\"" + Num(labelY) + "\" font-size=\"9\">" + Escape(label) +
               "</text>\n";
    }

    // Time axis and legend.
    const double axisY = lanesBottom + 4;
    svg += "<line x1=\"" + Num(kLeft) + "\" y1=\"" + Num(axisY) + "\" x2=\"" + Num(kLeft + plotWidth) + "\" y2=\"" +
           Num(axisY) + "\" stroke=\"#000000\"/>\n";
    const int tick = end > 60 ? static_cast<int>(std::ceil(end / 20)) : 1;
    for (int t = 0; t <= static_cast<int>(end); t += tick)
        svg += "<line x1=\"" + Num(x(t)) + "\" y1=\"" + Num(axisY) + "\" x2=\"" + Num(x(t)) + "\" y2=\"" +
               Num(axisY + 4) + "\" stroke=\"#000000\"/><text x=\"" + Num(x(t)) + "\" y=\"" + Num(axisY + 14) +
               "\" text-anchor=\"middle\">" + std::to_string(t) + " s</text>\n";
    double lx = kLeft;
    const double ly = axisY + 34;
    auto key = [&](const std::string& colour, const std::string& text) {
        svg += "<rect x=\"" + Num(lx) + "\" y=\"" + Num(ly - 9) + "\" width=\"10\" height=\"10\" fill=\"" + colour +
               "\"/><text x=\"" + Num(lx + 14) + "\" y=\"" + Num(ly) + "\">" + Escape(text) + "</text>\n";
        lx += 24 + 6.0 * static_cast<double>(text.size());
    };
    key("#1f77b4", "capture level");
    key("#2ca02c", "render level");
    key("#333333", "run (label: its latency)");
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k)
        key(KindColour(static_cast<sim::GlitchKind>(k)), sim::GlitchKindName(static_cast<sim::GlitchKind>(k)));
    svg += "</svg>\n";
    return svg;
}

bool WritePlot(const std::string& file, const PlotData& data) {
    const std::string svg = RenderPlot(data);
    std::FILE* f = std::fopen(file.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace quillon_sim
