// quillon-sim's closing report: per path the latency of each run, dropped, repeated and misrouted
// frames; the console's render channels; the driver's late answers; and the same as session.json.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "tools/quillon-sim/recording.h"
#include "tools/quillon-sim/session.h"
#include "tools/quillon-sim/timeline.h"

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
    LateAnswers opening;  // ... where a bridge was open but no audio had come through yet (the gate)
    LateAnswers all;      // the whole session, also while no bridge ran (when nobody answers)
};

struct Report {
    Options options;
    double endSeconds = 0;
    std::vector<SessionEvent> events;
    std::vector<sim::PinRecord> pins;
    std::vector<sim::PathStats> capture, render;
    std::vector<sim::ConsoleChannelStats> renderChannels;
    DriverFigures driver;
    std::function<std::string(sim::Ticks)> latencyAt;  // the Latency setting in force at a time
    std::vector<SessionRecorder::FileInfo> files;      // empty without --record
};

void PrintReport(std::FILE* out, const Report& report);
bool WriteSessionJson(const std::string& path, const Report& report);

// "18 ch, 32-bit (24 valid) PCM, 48000 Hz, mask 0x0" for the timeline.
std::string DescribeFormat(const sim::KsWaveFormat& format);

}  // namespace quillon_sim
