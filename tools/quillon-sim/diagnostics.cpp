#include "tools/quillon-sim/diagnostics.h"

#include "Service/QuillonDiag/DiagReader.h"
#include "Service/QuillonDiag/DiagTable.h"
#include "Service/common/DiagnosticsMapping.h"
#include "platform/sim/include/sim/scm.h"
#include "tests/harness/Programs.h"
#include "tools/quillon-sim/json.h"

namespace quillon_sim {

namespace {

std::string FormatJson(const DiagFormat& f) {
    return "{" + Json::Member("channels", Json::Count(f.channels)) + ", " +
           Json::Member("containerBits", Json::Count(f.containerBits)) + ", " +
           Json::Member("validBits", Json::Count(f.validBits)) + ", " + Json::Member("looped", Json::Bool(f.looped)) +
           "}";
}

}  // namespace

void PollDiagnostics(sim::Machine& machine, DiagnosticsSeen& seen) {
    if (!machine.Scm().ProcessOf(harness::kServiceName) || machine.Scm().ProcessExited(harness::kServiceName)) return;
    CDiagnosticsMapping block = CDiagnosticsMapping::Open(kDiagnosticsBlockName);
    DiagnosticsRecord record;
    if (!block || ReadDiagnostics(block.View(), block.Bytes(), record) != EDiagRead::Ok) return;
    seen.seen = true;
    seen.record = record;
    seen.tickMs = GetTickCount64();
    seen.seconds = static_cast<double>(machine.Now()) / 1e7;
}

void PrintDiagnostics(std::FILE* out, const DiagnosticsSeen& seen) {
    if (!seen.seen) {
        std::fprintf(out, "\nThe service's diagnostics view: never read (the service did not run).\n");
        return;
    }
    std::fprintf(out, "\nThe service's diagnostics view (QuillonDiag --once), as last read at %.1f s while it ran:\n",
                 seen.seconds);
    const std::string table = FormatDiagnosticsTable(seen.record, seen.tickMs);
    for (std::size_t at = 0; at < table.size();) {
        const std::size_t end = table.find('\n', at);
        const std::string line = table.substr(at, end - at);
        std::fprintf(out, "%s%s\n", line.empty() ? "" : "  ", line.c_str());
        if (end == std::string::npos) break;
        at = end + 1;
    }
}

std::string DiagnosticsJson(const DiagnosticsSeen& seen) {
    if (!seen.seen) return "null";
    const DiagnosticsRecord& r = seen.record;
    char model[sizeof r.model] = {};
    for (std::size_t i = 0; i + 1 < sizeof r.model && r.model[i]; ++i) model[i] = r.model[i];
    std::string text = "{" + Json::Member("readAt", Json::Real(seen.seconds, 1)) + ", " +
                       Json::Member("bridgeState", Json::String(DiagBridgeStateText(r.bridgeState))) + ", " +
                       Json::Member("model", Json::String(model)) + ", " +
                       Json::Member("sampleRate", Json::Count(r.sampleRate)) + ", " +
                       Json::Member("periodFrames", Json::Count(r.periodFrames)) + ", " +
                       Json::Member("latencyMultiplier", Json::Count(r.latencyMultiplier)) + ", " +
                       Json::Member("driftCorrection", Json::Bool(r.driftCorrection)) + ",\n    " +
                       Json::Member("capture", FormatJson(r.capture)) + ", " +
                       Json::Member("render", FormatJson(r.render)) + ",\n    " +
                       Json::Member("openForMs", Json::Count(r.bridgeOpenedMs && seen.tickMs > r.bridgeOpenedMs
                                                                 ? seen.tickMs - r.bridgeOpenedMs
                                                                 : 0)) +
                       ", " + Json::Member("captureBlocks", Json::Count(r.captureBlocks)) + ", " +
                       Json::Member("renderBlocks", Json::Count(r.renderBlocks)) + ", " +
                       Json::Member("driverAnswers", Json::Count(r.driverAnswers)) + ", " +
                       Json::Member("lockMs", Json::Count(r.lockMs)) + ",\n    \"paths\": [";
    for (std::uint32_t i = 0; i < kDiagnosticsPaths && i < r.pathCount; ++i) {
        const DiagPathRecord& p = r.paths[i];
        text += std::string(i ? "," : "") + "\n      {" + Json::Member("stream", Json::Count(p.stream)) + ", " +
                Json::Member("state", Json::String(DiagPathStateText(p.state))) + ", " +
                Json::Member("channels", Json::Count(p.channels)) + ", " +
                Json::Member("driftPpb", Json::Signed(p.driftPpb)) + ", " +
                Json::Member("addedLatencyFrames", Json::Count(p.addedLatencyFrames)) + ", " +
                Json::Member("slips", Json::Count(p.slips)) + ", " + Json::Member("lateEvents", Json::Count(p.lateEvents)) +
                ", " + Json::Member("missedEvents", Json::Count(p.missedEvents)) + ", " +
                Json::Member("frames", Json::Count(p.frames)) + "}";
    }
    return text + "\n    ]}";
}

}  // namespace quillon_sim
