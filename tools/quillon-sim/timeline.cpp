// quillon-sim's timeline and its watchers.
#include "tools/quillon-sim/timeline.h"

#include <algorithm>
#include <cstdlib>

#include "Service/common/SharedBlock.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "tests/harness/Blocks.h"
#include "tools/quillon-sim/json.h"

namespace quillon_sim {

namespace {

// The stream a driver request names ("CAPTURE_ENABLE #3 ..."), or -1.
int StreamOf(const std::string& text) {
    const auto hash = text.find('#');
    if (hash == std::string::npos || hash + 1 >= text.size() || text[hash + 1] < '0' || text[hash + 1] > '9')
        return -1;
    return std::atoi(text.c_str() + hash + 1);
}

// "#0-3, #5-8, #10".
std::string StreamRanges(const std::vector<int>& streams) {
    std::string text;
    for (std::size_t i = 0; i < streams.size();) {
        std::size_t j = i;
        while (j + 1 < streams.size() && streams[j + 1] == streams[j] + 1) ++j;
        text += (text.empty() ? "#" : ", #") + std::to_string(streams[i]) +
                (j > i ? "-" + std::to_string(streams[j]) : "");
        i = j + 1;
    }
    return text;
}

// Registry writes of endpoint names are what the Sound settings lines show.
bool EndpointNameWrite(const sim::Note& note) {
    return note.source == "registry" && note.text.find("\\MMDevices\\Audio\\") != std::string::npos;
}

}  // namespace

void Timeline::Add(const sim::Note& note) {
    std::lock_guard lock(mutex_);
    if (note.source == "debug" || note.source == "mapping" || note.source == "devices") return;
    if (!verbose_ && (note.source == "mmcss" || EndpointNameWrite(note))) return;
    if (note.source == "shell" && !verbose_ && note.text.find("balloon") == std::string::npos) return;
    if (note.source == "driver" && !verbose_) {
        const std::string kind = note.text.substr(0, note.text.find(' '));
        if (kind == runKind_ && note.text.find("refused") == std::string::npos) {
            ++runCount_;
            if (const int stream = StreamOf(note.text); stream >= 0) runStreams_.push_back(stream);
            return;
        }
        FlushLocked();
        runKind_ = kind;
        runCount_ = 1;
        runTime_ = note.time;
        runStreams_.clear();
        if (const int stream = StreamOf(note.text); stream >= 0) runStreams_.push_back(stream);
        runText_ = note.text;
        return;
    }
    FlushLocked();
    PrintLocked(note.time, note.source == "shell" ? "tray" : note.source, note.text);
}

void Timeline::Say(sim::Ticks time, const std::string& source, const std::string& text) {
    std::lock_guard lock(mutex_);
    FlushLocked();
    PrintLocked(time, source, text);
}

void Timeline::Flush() {
    std::lock_guard lock(mutex_);
    FlushLocked();
}

void Timeline::PrintLocked(sim::Ticks time, const std::string& source, const std::string& text) {
    std::fprintf(out_, "[%8.3f s] %-8s ", static_cast<double>(time) / 1e7, source.c_str());
    // Lines of at most kTimelineWidth columns, broken at a space where there is one; the continuation
    // lines are indented two more.
    std::size_t at = 0, room = kTimelineWidth - kTimelineIndent;
    while (text.size() - at > room) {
        std::size_t cut = text.rfind(' ', at + room);
        if (cut == std::string::npos || cut <= at) cut = at + room;
        std::fprintf(out_, "%s\n%*s", text.substr(at, cut - at).c_str(), static_cast<int>(kTimelineIndent + 2), "");
        at = text[cut] == ' ' ? cut + 1 : cut;
        room = kTimelineWidth - kTimelineIndent - 2;
    }
    std::fprintf(out_, "%s\n", text.substr(at).c_str());
    std::fflush(out_);
}

void Timeline::FlushLocked() {
    if (runCount_ == 0) return;
    std::string text = runText_;
    if (runCount_ > 1) {
        std::sort(runStreams_.begin(), runStreams_.end());
        text = runKind_ + " x" + std::to_string(runCount_) +
               (runStreams_.empty() ? "" : " (" + StreamRanges(runStreams_) + ")");
    }
    PrintLocked(runTime_, "driver", text);
    runCount_ = 0;
    runKind_.clear();
}

void EventLog::Add(sim::Ticks time, std::string event, std::string fields) {
    std::lock_guard lock(mutex_);
    events_.push_back({time, std::move(event), std::move(fields)});
}

std::vector<SessionEvent> EventLog::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void StatusWatcher::Poll(sim::Machine& machine, Timeline& timeline, EventLog& events) {
    harness::BlockView status(kStatusBlockName);
    if (!status) return;
    char description[kSharedTextSize + 1], firmware[kSharedTextSize + 1], version[kSharedTextSize + 1];
    ReadSharedText(status->consoleDescription, description);
    ReadSharedText(status->firmwareText, firmware);
    ReadSharedText(status->serviceVersion, version);
    const int connected = (status->stateFlags & kStateConsoleConnected) ? 1 : 0;
    const int bypass = (status->settings & kSettingEnable) ? 0 : 1;
    const int latency = (status->settings & kSettingLatency) ? 1 : 0;
    const std::string lines = "\"" + std::string(description) + "\" / \"" + firmware + "\" / \"" + version + "\"";
    const sim::Ticks now = machine.Now();
    if (lines != lines_ || bypass != bypass_ || latency != latency_)
        timeline.Say(
            now, "menu",
            lines + "  [Bypass " + (bypass ? "on" : "off") + ", Latency " + (latency ? "Low" : "Ultra-low") + "]");
    if (connected != connected_)
        events.Add(now, connected ? "status: connected" : "status: not connected",
                   Json::Member("description", Json::String(description)));
    if (bypass != bypass_ && bypass_ >= 0) events.Add(now, bypass ? "setting: bypass on" : "setting: bypass off");
    if (latency != latency_) {
        if (latency_ >= 0) events.Add(now, latency ? "setting: latency low" : "setting: latency ultra-low");
        latencies_.emplace_back(now, latency ? "low" : "ultra-low");
    }
    lines_ = lines;
    connected_ = connected;
    bypass_ = bypass;
    latency_ = latency;
}

std::string StatusWatcher::LatencyAt(sim::Ticks time) const {
    std::string latency;
    for (const auto& [when, value] : latencies_)
        if (when <= time) latency = value;
    return latency;
}

void SoundSettingsWatcher::Poll(sim::Machine& machine, Timeline& timeline, EventLog& events) {
    using Flow = sim::EndpointStore::Flow;
    sim::EndpointStore& store = sim::EndpointStore::Of(machine);
    std::string lists[2];  // recording, playback
    std::string hidden[2];
    auto add = [&](int list, const std::optional<std::string>& name, bool shown) {
        if (!name) return;  // not in the store
        std::string& to = shown ? lists[list] : hidden[list];
        to += (to.empty() ? "" : ", ") + *name;
    };
    for (int n = 0; n < 16; ++n) {
        const Flow flow = n < 11 ? Flow::Capture : Flow::Render;
        const auto visible = store.Visible(sim::VirtualDriverEndpointId(n));
        const auto name = store.Name(flow, sim::VirtualDriverEndpointGuid(n));
        if (name) names_.Set(static_cast<unsigned>(n), *name);
        add(n < 11 ? 0 : 1, name ? std::optional(names_.Label(static_cast<unsigned>(n))) : std::nullopt,
            visible.value_or(true));
    }
    if (console_) {
        const auto& config = console_->Config();
        // Sound settings names a device's endpoint with the device: "Line (Quillon Alto)".
        auto own = [&](std::optional<std::string> name) {
            return name ? std::optional<std::string>(*name + " (" + console_->Model().displayName + ")") : name;
        };
        add(0, own(store.Name(Flow::Capture, config.captureEndpointGuid)),
            store.Visible(console_->CaptureEndpointId()).value_or(true));
        add(1, own(store.Name(Flow::Render, config.renderEndpointGuid)),
            store.Visible(console_->RenderEndpointId()).value_or(true));
    }
    std::string text[2];
    for (int i = 0; i < 2; ++i)
        text[i] = std::string(i == 0 ? "Recording: " : "Playback:  ") + (lists[i].empty() ? "(none)" : lists[i]) +
                  (hidden[i].empty() ? "" : "   (hidden: " + hidden[i] + ")");
    const std::string state = text[0] + "\n" + text[1];
    if (state == previous_ && state != printed_) {
        timeline.Say(machine.Now(), "sound", text[0]);
        timeline.Say(machine.Now(), "sound", text[1]);
        events.Add(machine.Now(), "endpoints",
                   Json::Member("recording", Json::String(lists[0])) + ", " +
                       Json::Member("playback", Json::String(lists[1])) + ", " +
                       Json::Member(
                           "hidden",
                           Json::String(hidden[0] + (hidden[0].empty() || hidden[1].empty() ? "" : ", ") + hidden[1])));
        printed_ = state;
    }
    previous_ = state;
}

}  // namespace quillon_sim
