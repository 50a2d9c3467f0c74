// quillon-sim's timeline: the machine's notes and the session's own lines, printed as they happen, and
// the watchers that turn what a person would see into lines (the tray menu's status lines, the endpoint
// list of Sound settings).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "tools/quillon-sim/endpoints.h"

namespace sim {
class Console;
}

namespace quillon_sim {

// Prints timeline lines, "[   2.101 s] source   text", none wider than kTimelineWidth columns (a longer
// text goes on over indented lines); runs of the same driver request are folded into one line that lists
// the streams they named.
inline constexpr std::size_t kTimelineWidth = 120;
inline constexpr std::size_t kTimelineIndent = 22;  // the time and the source

class Timeline {
public:
    Timeline(std::FILE* out, bool verbose) : out_(out), verbose_(verbose) {}

    void Add(const sim::Note& note);  // a machine note (the note sink)
    void Say(sim::Ticks time, const std::string& source, const std::string& text);
    void Flush();

private:
    void FlushLocked();
    void PrintLocked(sim::Ticks time, const std::string& source, const std::string& text);

    std::FILE* out_;
    bool verbose_;
    std::mutex mutex_;
    std::string runKind_, runText_;
    std::vector<int> runStreams_;
    int runCount_ = 0;
    sim::Ticks runTime_ = 0;
};

// Something that happened, for session.json: `fields` is a JSON object's members ("" or "\"a\": 1, ...").
struct SessionEvent {
    sim::Ticks time;
    std::string event;
    std::string fields;
};

class EventLog {
public:
    void Add(sim::Ticks time, std::string event, std::string fields = {});
    std::vector<SessionEvent> Events() const;

private:
    mutable std::mutex mutex_;
    std::vector<SessionEvent> events_;
};

// The status block as the tray shows it: the menu's three status lines and the checked settings.
// Reports each change on the timeline and in the event log.
class StatusWatcher {
public:
    void Poll(sim::Machine& machine, Timeline& timeline, EventLog& events);
    // The latency the status block gave at `time` ("ultra-low", "low", or "" before any block).
    std::string LatencyAt(sim::Ticks time) const;

private:
    std::string lines_;
    int connected_ = -1, bypass_ = -1, latency_ = -1;
    std::vector<std::pair<sim::Ticks, std::string>> latencies_;
};

// The virtual driver's endpoints (and the console's own two) as Sound settings lists them: names (a
// driver endpoint with its number), and which are shown. Reported when the list has settled on a new state (unchanged over two polls).
class SoundSettingsWatcher {
public:
    SoundSettingsWatcher(const sim::Console* console, EndpointNames& names) : console_(console), names_(names) {}
    // Also gives `names` the driver endpoints' names as listed.
    void Poll(sim::Machine& machine, Timeline& timeline, EventLog& events);

private:
    const sim::Console* console_;
    EndpointNames& names_;
    std::string previous_, printed_;
};

}  // namespace quillon_sim
