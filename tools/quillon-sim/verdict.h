// quillon-sim's verdict: whether the audio paths carried the session cleanly, apart from the moments the
// script itself disturbs them (a plug, an unplug, Bypass, a latency switch, the service stop: from the
// action until audio comes through again in both directions, and 50 ms more).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "tools/quillon-sim/endpoints.h"

namespace quillon_sim {

// A span of the session the script disturbs, in machine frames [from, to).
struct ScriptSpan {
    std::uint64_t from = 0, to = 0;
};

struct Verdict {
    int exitCode = 0;                   // 0 clean, 1 glitches outside the script's spans
    sim::GlitchCounts outside, inside;  // per kind
    std::optional<sim::Glitch> first;   // the earliest glitch outside the spans
    std::size_t pathsCarried = 0;       // paths that carried the identifying signal
    std::size_t pathsGlitched = 0;      // ... of them with glitches outside the spans
};

Verdict Judge(const std::vector<sim::PathStats>& paths, const std::vector<sim::Glitch>& glitches,
              const std::vector<ScriptSpan>& spans);

// The summary line's verdict, "PASS: ..." or "FAIL: ...", naming the first glitch (path, time, kind).
std::string VerdictText(const Verdict& verdict, const EndpointNames& names);

// "dropped, repeated or misrouted" (`last` "or") / "dropped 3 fr, repeated 1 fr" for counts.
std::string GlitchKindList(const char* last);
std::string GlitchCountList(const sim::GlitchCounts& counts);
// The width of a right-aligned column headed by a glitch kind's name, in the timeline and the report.
int GlitchColumnWidth(std::size_t kind);

}  // namespace quillon_sim
