#include "Service/QuillonDiag/DiagTable.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr std::uint32_t kFirstPlaybackStream = 11;

std::string Printf(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// "850 ms", "12.3 s", "4 min 05 s", "2 h 03 min".
std::string Duration(std::uint64_t ms) {
    if (ms < 1000) return Printf("%" PRIu64 " ms", ms);
    if (ms < 60'000) return Printf("%.1f s", static_cast<double>(ms) / 1000.0);
    const std::uint64_t s = ms / 1000;
    if (s < 3600) return Printf("%" PRIu64 " min %02" PRIu64 " s", s / 60, s % 60);
    return Printf("%" PRIu64 " h %02" PRIu64 " min", s / 3600, s / 60 % 60);
}

const char* LatencyName(std::uint32_t multiplier) {
    return multiplier == 2 ? "Ultra-low" : multiplier == 4 ? "Low" : "other";
}

// A table line without the blanks its empty last columns leave.
std::string Row(const std::string& line) {
    const std::size_t end = line.find_last_not_of(" \n");
    return (end == std::string::npos ? std::string() : line.substr(0, end + 1)) + "\n";
}

constexpr const char kRowFormat[] = "%-11s %2s  %-10s %6s %8s %7s %7s %6s %7s %7s  %-9s %12s\n";

}  // namespace

const char* DiagBridgeStateText(std::uint32_t state) {
    switch (static_cast<EDiagBridgeState>(state)) {
        case EDiagBridgeState::NoConsole: return "no console";
        case EDiagBridgeState::Opening: return "opening";
        case EDiagBridgeState::Streaming: return "streaming";
    }
    return "unknown";
}

const char* DiagPathStateText(std::uint32_t state) {
    switch (static_cast<EDiagPathState>(state)) {
        case EDiagPathState::Unused: return "idle";
        case EDiagPathState::Copy: return "copy";
        case EDiagPathState::Locking: return "locking";
        case EDiagPathState::Resampling: return "resampling";
    }
    return "unknown";
}

std::string DiagFormatText(const DiagFormat& f) {
    if (f.channels == 0) return "none";
    const std::string bits = f.validBits && f.validBits != f.containerBits
                                 ? Printf("%u-in-%u-bit", unsigned{f.validBits}, unsigned{f.containerBits})
                                 : Printf("%u-bit", unsigned{f.containerBits});
    return Printf("%u ch %s %s", unsigned{f.channels}, bits.c_str(), f.looped ? "looped" : "standard");
}

std::string FormatDiagnosticsTable(const DiagnosticsRecord& r, std::uint64_t nowMs) {
    const bool bridged = r.bridgeState != static_cast<std::uint32_t>(EDiagBridgeState::NoConsole);
    const std::uint32_t rate = r.sampleRate ? r.sampleRate : 48000;
    char model[sizeof r.model + 1] = {};
    std::copy(std::begin(r.model), std::end(r.model) - 1, model);

    std::string text = "Quillon bridge: " + std::string(DiagBridgeStateText(r.bridgeState));
    if (model[0]) text += Printf(", %s", model);
    if (bridged && r.bridgeOpenedMs)
        text += ", open for " + Duration(nowMs > r.bridgeOpenedMs ? nowMs - r.bridgeOpenedMs : 0);
    text += "\n";
    text += "  formats  capture " + DiagFormatText(r.capture) + ", render " + DiagFormatText(r.render);
    text += r.sampleRate ? Printf(", %u Hz\n", r.sampleRate) : std::string("\n");
    const std::string period = r.periodFrames ? Printf("period %u frames (%.1f ms)", r.periodFrames,
                                                       static_cast<double>(r.periodFrames) * 1000.0 / rate)
                                              : std::string("period unknown (no virtual driver)");
    text += Printf("  timing   %s, latency %s (x%u), drift correction %s, %s\n", period.c_str(),
                   LatencyName(r.latencyMultiplier), r.latencyMultiplier, r.driftCorrection ? "on" : "off",
                   r.lockMs ? ("locked after " + Duration(r.lockMs)).c_str() : "not locked");
    text += Printf("  counts   console blocks: capture %" PRIu64 ", render %" PRIu64 "; driver events answered %" PRIu64
                   "\n\n",
                   r.captureBlocks, r.renderBlocks, r.driverAnswers);

    text += Row(Printf(kRowFormat, "PATH", "CH", "STATE", "RATE", "DRIFT", "ADDED", "LATENCY", "SLIPS", "LATE",
                       "MISSED", "RESAMPLER", "FRAMES"));
    text += Row(Printf(kRowFormat, "", "", "", "Hz", "ppm", "ms", "frames", "", "events", "events", "", ""));
    const std::uint32_t paths = std::min(r.pathCount, kDiagnosticsPaths);
    for (std::uint32_t i = 0; i < paths; ++i) {
        const DiagPathRecord& p = r.paths[i];
        const std::string path = Printf("%2u %s", p.stream, p.stream < kFirstPlaybackStream ? "capture" : "playback");
        if (p.state == static_cast<std::uint32_t>(EDiagPathState::Unused)) {
            text += Printf(kRowFormat, path.c_str(), "-", "idle", "-", "-", "-", "-", "-", "-", "-", "-", "-");
            continue;
        }
        const bool resampling = p.state == static_cast<std::uint32_t>(EDiagPathState::Locking) ||
                                p.state == static_cast<std::uint32_t>(EDiagPathState::Resampling);
        text += Printf(kRowFormat, path.c_str(), Printf("%u", p.channels).c_str(), DiagPathStateText(p.state),
                       Printf("%u", r.sampleRate).c_str(), Printf("%+.1f", static_cast<double>(p.driftPpb) / 1000.0).c_str(),
                       Printf("%.1f", static_cast<double>(p.addedLatencyFrames) * 1000.0 / rate).c_str(),
                       Printf("%u", p.addedLatencyFrames).c_str(), Printf("%u", p.slips).c_str(),
                       Printf("%u", p.lateEvents).c_str(), Printf("%u", p.missedEvents).c_str(),
                       resampling ? "on" : "off", Printf("%" PRIu64, p.frames).c_str());
    }
    return text;
}
