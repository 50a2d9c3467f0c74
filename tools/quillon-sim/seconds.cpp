// quillon-sim's audio seconds.
#include "tools/quillon-sim/seconds.h"

#include "tools/quillon-sim/verdict.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace quillon_sim {

namespace {

constexpr sim::Ticks kTableEvery = 5 * 10'000'000LL;  // a table at least this often while audio flows
constexpr unsigned kCellsPerRow = 3;

std::string Column(const std::string& text, int width) {
    char cell[64];
    std::snprintf(cell, sizeof cell, "%*s", width, text.c_str());
    return cell;
}

}  // namespace

std::string LevelText(const sim::LevelCount& level) {
    if (level.frames == 0) return "idle";
    if (level.peak <= 0.0f) return "silent";
    char text[24];
    std::snprintf(text, sizeof text, "%.1f dBFS", level.PeakDb());
    return text;
}

std::string AudioSeconds::Header() const {
    std::string text = "dir endpoints app frames console fr peak dBFS |";
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k)
        text += Column(sim::GlitchKindName(static_cast<sim::GlitchKind>(k)), GlitchColumnWidth(k));
    return text + " fr | late periods";
}

void AudioSeconds::Report(sim::Ticks now, const sim::LevelSnapshot& levels, std::uint64_t lateCapture,
                          std::uint64_t lateRender) {
    Table(now, levels);
    if (headerDue_) timeline_.Say(now, "audio", Header());
    headerDue_ = false;
    for (const bool capture : {true, false}) {
        const unsigned count = capture ? sim::kCaptureStreamCount : sim::kRenderStreamCount;
        unsigned carrying = 0;
        std::uint64_t frames = 0;
        for (unsigned s = 0; s < count; ++s) {
            const sim::LevelCount& level = capture ? levels.capture[s] : levels.render[s];
            const std::uint64_t carried = capture ? level.identified : (level.peak > 0.0f ? level.frames : 0);
            if (carried) ++carrying;
            frames = std::max(frames, carried);
        }
        const sim::LevelCount& pin = capture ? levels.consoleIn : levels.consoleOut;
        std::string peak = "-";
        if (console_ && pin.frames) {
            char db[16];
            std::snprintf(db, sizeof db, "%.1f", pin.PeakDb());
            peak = pin.peak > 0.0f ? db : "silent";
        }
        char text[160];
        std::snprintf(text, sizeof text, "%-3s %5u/%-2u %10" PRIu64 " %10s %9s |", capture ? "in" : "out", carrying,
                      count, frames, console_ ? std::to_string(pin.frames).c_str() : "-", peak.c_str());
        std::string line = text;
        const sim::GlitchCounts& glitches = capture ? levels.captureGlitches : levels.renderGlitches;
        for (std::size_t k = 0; k < sim::kGlitchKinds; ++k)
            line += Column(std::to_string(glitches.frames[k]), GlitchColumnWidth(k));
        line += "    | " + Column(std::to_string(capture ? lateCapture : lateRender), 12);
        timeline_.Say(now, "audio", line);
    }
}

// The endpoints' levels as cells of a table, when which of them carry what has changed (or every few
// seconds while something carries audio).
void AudioSeconds::Table(sim::Ticks now, const sim::LevelSnapshot& levels) {
    std::string key;
    bool flowing = false;
    for (unsigned n = 0; n < 16; ++n) {
        const sim::LevelCount& level = n < 11 ? levels.capture[n] : levels.render[n - 11];
        const std::string state = level.frames == 0 ? "idle" : level.peak > 0.0f ? "level" : "silent";
        flowing = flowing || state == "level";
        key += names_.Name(n) + "=" + state + ";";
    }
    if (key == tableKey_ && !(flowing && now - tableAt_ >= kTableEvery)) return;
    tableKey_ = key;
    tableAt_ = now;
    headerDue_ = true;
    for (const bool capture : {true, false}) {
        timeline_.Say(now, "audio",
                      capture ? "capture endpoints, peak over the second (what the recording applications got):"
                              : "render endpoints, peak over the second (what the playing applications handed over):");
        const unsigned first = capture ? 0 : 11, end = capture ? 11 : 16;
        std::string row;
        for (unsigned n = first; n < end; ++n) {
            const sim::LevelCount& level = capture ? levels.capture[n] : levels.render[n - 11];
            char cell[64];
            std::snprintf(cell, sizeof cell, "  %-13s %-11s", names_.Label(n).c_str(), LevelText(level).c_str());
            row += cell;
            if ((n - first) % kCellsPerRow == kCellsPerRow - 1 || n + 1 == end) {
                row.erase(row.find_last_not_of(' ') + 1);
                timeline_.Say(now, "audio", row);
                row.clear();
            }
        }
    }
}

}  // namespace quillon_sim
