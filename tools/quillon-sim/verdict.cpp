// quillon-sim's verdict.
#include "tools/quillon-sim/verdict.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

namespace quillon_sim {

namespace {

sim::GlitchKind Kind(std::size_t k) { return static_cast<sim::GlitchKind>(k); }

}  // namespace

Verdict Judge(const std::vector<sim::PathStats>& paths, const std::vector<sim::Glitch>& glitches,
              const std::vector<ScriptSpan>& spans) {
    Verdict v;
    for (const sim::PathStats& p : paths)
        if (p.Identified()) ++v.pathsCarried;
    std::set<std::pair<unsigned, unsigned>> glitched;
    for (const sim::Glitch& g : glitches) {
        const bool scripted = std::any_of(spans.begin(), spans.end(), [&](const ScriptSpan& s) {
            return g.first >= s.from && g.last < s.to;
        });
        (scripted ? v.inside : v.outside)[g.kind] += g.frames;
        if (scripted) continue;
        glitched.insert({g.stream, g.channel});
        if (!v.first || g.first < v.first->first) v.first = g;
    }
    v.pathsGlitched = glitched.size();
    v.exitCode = v.first ? 1 : 0;
    return v;
}

std::string GlitchKindList(const char* last) {
    std::string text;
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k)
        text += std::string(k == 0 ? "" : k + 1 == sim::kGlitchKinds ? last : ", ") + sim::GlitchKindName(Kind(k));
    return text;
}

std::string GlitchCountList(const sim::GlitchCounts& counts) {
    std::string text;
    for (std::size_t k = 0; k < sim::kGlitchKinds; ++k)
        if (counts.frames[k])
            text += (text.empty() ? "" : ", ") + std::string(sim::GlitchKindName(Kind(k))) + " " +
                    std::to_string(counts.frames[k]) + " fr";
    return text.empty() ? "none" : text;
}

int GlitchColumnWidth(std::size_t kind) {
    return std::max<int>(9, static_cast<int>(std::strlen(sim::GlitchKindName(Kind(kind)))) + 1);
}

std::string VerdictText(const Verdict& v, const EndpointNames& names) {
    const std::string scripted =
        v.inside.Total() ? " (the script's own changes: " + GlitchCountList(v.inside) + ")" : "";
    if (!v.first) {
        if (v.pathsCarried == 0) return "PASS: no path carried the identifying signal, so none glitched" + scripted;
        return "PASS: " + std::to_string(v.pathsCarried) + " paths carried audio, no frame " + GlitchKindList(" or ") +
               " outside the script" + scripted;
    }
    const sim::Glitch& g = *v.first;
    char at[32];
    std::snprintf(at, sizeof at, "%.3f s", static_cast<double>(g.first) / sim::kMachineFrameRate);
    return "FAIL: " + GlitchCountList(v.outside) + " on " + std::to_string(v.pathsGlitched) + " of " +
           std::to_string(v.pathsCarried) + " paths; first " + names.PathLabel(g.stream, g.channel) + " at " + at +
           ", " + std::to_string(g.frames) + " fr " + sim::GlitchKindName(g.kind);
}

}  // namespace quillon_sim
