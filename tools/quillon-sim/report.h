// quillon-sim's closing report: per path the latency of each run and its glitches by kind; the glitches
// with their times; the console's render channels and pins; the driver's late answers; and the same as
// session.json. Lines fit the timeline's width.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "tools/quillon-sim/diagnostics.h"
#include "tools/quillon-sim/endpoints.h"
#include "tools/quillon-sim/options.h"
#include "tools/quillon-sim/recording.h"
#include "tools/quillon-sim/timeline.h"
#include "tools/quillon-sim/verdict.h"

namespace quillon_sim {

// The driver's late answers (events 1 and 3 not set within a period) and the capture halves its
// recorders got as silence for them, over some span of the session.
struct LateAnswers {
    double seconds = 0;
    std::uint64_t capture = 0, render = 0, silentHalves = 0;
};

struct DriverFigures {
    std::uint64_t periods = 0;
    LateAnswers flowing;  // over the 100 ms steps that lay wholly where audio flowed through a bridge
    LateAnswers opening;  // ... that overlapped a bridge's opening before audio came through (seconds exact)
    std::vector<double> openings;  // each opening's seconds until audio came through
    LateAnswers all;      // the whole session, also while no bridge ran (when nobody answers)
};

struct Report {
    Options options;
    const EndpointNames* names = nullptr;
    bool interrupted = false;  // by Ctrl-C
    double endSeconds = 0;
    std::vector<SessionEvent> events;
    std::vector<sim::PinRecord> pins;
    std::vector<sim::PathStats> capture, render;
    std::vector<sim::ConsoleChannelStats> renderChannels;
    std::vector<sim::Glitch> glitches;
    std::vector<ScriptSpan> spans;  // what the script disturbs
    Verdict verdict;
    DriverFigures driver;
    std::function<std::string(sim::Ticks)> latencyAt;  // the Latency setting in force at a time
    std::vector<SessionRecorder::FileInfo> files;      // empty without --record
    DiagnosticsSeen diagnostics;                       // the service's own view, as last read
};

void PrintReport(std::FILE* out, const Report& report);
bool WriteSessionJson(const std::string& path, const Report& report);

// "18 ch, 32-bit (24 valid) PCM, 48000 Hz, mask 0x0" for the timeline.
std::string DescribeFormat(const sim::KsWaveFormat& format);

}  // namespace quillon_sim
