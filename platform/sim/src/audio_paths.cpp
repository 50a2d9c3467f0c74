// The audio path meter: every path of a session followed by its identifying signal.
#include "platform/sim/include/sim/sine_signal.h"
#include "platform/sim/include/sim/audio_paths.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/player_signal.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"

namespace sim {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kPhases = 2048;


// A pin sample as the integer the pin got, left-justified in 32 bits (a float pin: its bits).
std::int32_t LeftJustified(const BYTE* sample, const KsWaveFormat& f) {
    const std::int32_t value = ReadPinSample(sample, f);
    if (f.containerBits >= 32 || f.containerBits == 0) return value;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << (32 - f.containerBits));
}

// Magnitude of a pin sample, full scale 1.0.
float PinLevel(const BYTE* sample, const KsWaveFormat& f) {
    if (IsFloat(f) && f.containerBits == 32) {
        float x;
        std::memcpy(&x, sample, sizeof x);
        return std::isfinite(x) ? std::fabs(x) : 0.0f;
    }
    return static_cast<float>(std::fabs(static_cast<double>(LeftJustified(sample, f)) / 2147483648.0));
}

// The frame with `phase` nearest to `expected`.
std::uint64_t NearestWithPhase(std::uint64_t expected, std::uint32_t phase) {
    const auto diff = static_cast<std::int64_t>((phase + kPhases - expected % kPhases) % kPhases);
    const std::int64_t step =
        diff < static_cast<std::int64_t>(kPhases / 2) ? diff : diff - static_cast<std::int64_t>(kPhases);
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(expected) + step);
}

// The newest frame with `phase` not after `latest` (or `phase` itself when there is none).
std::uint64_t NewestWithPhase(std::uint64_t latest, std::uint32_t phase) {
    if (latest < phase) return phase;
    return latest - (latest - phase) % kPhases;
}

}  // namespace

std::uint64_t MachineFrameAt(Ticks time) {
    if (time <= 0) return 0;
    return static_cast<std::uint64_t>(time) * kMachineFrameRate / kTicksPerSecond;
}

Ticks MachineFrameTime(std::uint64_t frame) {
    return static_cast<Ticks>(frame * kTicksPerSecond / kMachineFrameRate);
}

const char* GlitchKindName(GlitchKind kind) {
    switch (kind) {
        case GlitchKind::Dropped: return "dropped";
        case GlitchKind::Repeated: return "repeated";
        case GlitchKind::Misrouted: return "misrouted";
        case GlitchKind::Slipped: return "slipped";
        case GlitchKind::Count: break;
    }
    return "?";
}

std::uint64_t GlitchCounts::Total() const {
    std::uint64_t total = 0;
    for (std::uint64_t n : frames) total += n;
    return total;
}

double LevelCount::PeakDb() const {
    return peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -std::numeric_limits<double>::infinity();
}

// How a path's sequence stands between blocks.
struct AudioPathMeter::PathState {
    bool inRun = false;
    std::uint64_t last = 0;  // source frame of the newest identified frame
    std::uint64_t gap = 0;   // frames without an identified sample since then
    std::uint64_t repeats = 0;   // frames repeated in a row just now
    std::uint64_t repeatAt = 0;  // where they began
    SineTrack sine;
};

AudioPathMeter::AudioPathMeter(Options options) : options_(std::move(options)) { InitPaths(); }

AudioPathMeter::AudioPathMeter(VirtualAudioDriver& driver, Console* console, Options options)
    : options_(std::move(options)), driver_(&driver), console_(console) {
    InitPaths();
    for (unsigned s = 0; s < kCaptureStreamCount && options_.recorders; ++s)
        driver.SetRecorder(s, [this, s](std::uint64_t first, std::uint32_t channels, const float* samples,
                                        std::uint32_t frames) { OnRecorded(s, first, channels, samples, frames); });
    for (unsigned stream : options_.playedStreams) {
        if (stream < kFirstRenderStream || stream >= kFirstRenderStream + kRenderStreamCount) continue;
        driver.SetPlayer(stream - kFirstRenderStream, [this, stream](std::uint64_t first, std::uint32_t channels,
                                                                     float* samples, std::uint32_t frames) {
            if (options_.sine)
                FillPlayerSine(stream, first, channels, samples, frames);
            else
                FillPlayerSignal(stream, first, channels, samples, frames);
            OnPlayed(stream, first, channels, samples, frames);
        });
    }
    if (console_) console_->Ks().SetPinTap([this](const ConsolePinEvent& event) { OnConsolePin(event); });
}

AudioPathMeter::~AudioPathMeter() {
    if (console_) console_->Ks().SetPinTap({});
    if (driver_) {
        for (unsigned s = 0; s < kCaptureStreamCount && options_.recorders; ++s) driver_->SetRecorder(s, {});
        for (unsigned stream : options_.playedStreams)
            if (stream >= kFirstRenderStream && stream < kFirstRenderStream + kRenderStreamCount)
                driver_->SetPlayer(stream - kFirstRenderStream, {});
    }
}

void AudioPathMeter::InitPaths() {
    capture_.resize(2 * kCaptureStreamCount);
    captureState_.resize(capture_.size());
    for (unsigned i = 0; i < capture_.size(); ++i) {
        capture_[i].stream = i / 2;
        capture_[i].channel = i % 2;
    }
    render_.resize(2 * kRenderStreamCount);
    renderState_.resize(render_.size());
    for (unsigned i = 0; i < render_.size(); ++i) {
        render_[i].stream = kFirstRenderStream + i / 2;
        render_[i].channel = i % 2;
        render_[i].consoleChannel = static_cast<int>(i);  // the offset table: pair s - 11 at channels 2(s - 11), +1
    }
    pins_.reserve(16);
    glitches_.reserve(256);
}

void AudioPathMeter::SetListener(AudioPathListener* listener) {
    std::lock_guard lock(mutex_);
    listener_ = listener;
}

// ---- sequence ----

void AudioPathMeter::AddLatency(PathStats& path, PathRun& run, std::int64_t latency) {
    if (run.frames == 1) {
        run.minLatency = run.maxLatency = latency;
    } else {
        run.minLatency = std::min(run.minLatency, latency);
        run.maxLatency = std::max(run.maxLatency, latency);
    }
    const bool first = path.runs.size() == 1 && run.frames == 1;
    path.minLatency = first ? latency : std::min(path.minLatency, latency);
    path.maxLatency = first ? latency : std::max(path.maxLatency, latency);
}

// Counts `frames` glitched frames of `kind` on `path`, noticed at machine frame `at`; extends the path's
// latest record of that kind when it ended within 10 ms.
void AudioPathMeter::SineLocked(PathStats& path, PathState& state, float x, std::uint64_t arrival) {
    switch (state.sine.Add(x)) {
        case SineTrack::Event::Started: {
            PathRun run;
            run.machineFrame = arrival;
            path.runs.push_back(run);
            if (listener_) listener_->RunStarted(path, arrival);
            break;
        }
        case SineTrack::Event::Broke:
            ++path.slips;
            GlitchLocked(path, GlitchKind::Slipped, arrival, 1);
            break;
        default: break;
    }
    if (x == 0.0f) {
        ++path.silentFrames;
        return;
    }
    ++path.frames;
    if (!path.runs.empty()) ++path.runs.back().frames;
    path.sineWindows = state.sine.Windows();
    path.worstThdPlusNoiseDb = state.sine.WorstDb();
}

void AudioPathMeter::GlitchLocked(PathStats& path, GlitchKind kind, std::uint64_t at, std::uint64_t frames) {
    const bool capture = path.stream < kCaptureStreamCount;
    path.glitches[kind] += frames;
    (capture ? levels_.captureGlitches : levels_.renderGlitches)[kind] += frames;
    constexpr std::uint64_t kJoin = kMachineFrameRate / 100;
    for (auto it = glitches_.rbegin(); it != glitches_.rend() && it - glitches_.rbegin() < 64; ++it)
        if (it->stream == path.stream && it->channel == path.channel && it->kind == kind) {
            if (at < it->last || at - it->last > kJoin) break;
            it->last = at;
            it->frames += frames;
            return;
        }
    if (glitches_.size() < options_.glitchRecords)
        glitches_.push_back({capture, path.stream, path.channel, kind, at, at, frames});
}

void AudioPathMeter::LossLocked(PathStats& path, PathRun& run, GlitchKind kind, std::uint64_t at, std::uint64_t frames) {
    if (frames == 0) return;
    if (frames == periodFrames_) {
        ++path.slips;
        GlitchLocked(path, GlitchKind::Slipped, at, frames);
        return;
    }
    (kind == GlitchKind::Repeated ? run.repeated : run.dropped) += frames;
    (kind == GlitchKind::Repeated ? path.repeated : path.dropped) += frames;
    GlitchLocked(path, kind, at, frames);
}

// One identified sample of `path`: `phase` names its source frame, `arrival` is the machine frame it
// arrived at (capture: received; render: played), `consoleFrame` the console frame it was played at
// (render). The source frame's machine frame is the console clock's time of that frame (capture: a
// console frame, on `clock`, which runs at its own rate) or the source itself (render: an application
// frame).
std::uint64_t AudioPathMeter::MachineFrameNow(std::uint64_t frame) const {
    return driver_ ? MachineFrameAt(driver_->GetMachine().Now()) : frame;
}

void AudioPathMeter::TrackLocked(PathStats& path, PathState& state, std::uint32_t phase, std::uint64_t arrival,
                                 std::uint64_t consoleFrame, const ConsoleClock* clock, std::int64_t sourceOffset) {
    const bool capture = clock != nullptr;
    auto machineFrameOf = [&](std::uint64_t source) -> std::int64_t {
        return capture ? static_cast<std::int64_t>(MachineFrameAt(clock->TimeOf(source)))
                       : static_cast<std::int64_t>(source) + sourceOffset;
    };
    const bool newRun = !state.inRun || state.gap >= options_.newRunSilence;
    std::uint64_t source;
    if (newRun) {
        std::uint64_t latest = static_cast<std::uint64_t>(static_cast<std::int64_t>(arrival) - sourceOffset);
        if (capture) latest = clock->FramesBy(MachineFrameTime(arrival));
        source = NewestWithPhase(latest, phase);
    } else {
        source = NearestWithPhase(state.last + 1, phase);
        // A frame cannot arrive before it was produced (capture) or handed over (render).
        while (machineFrameOf(source) > static_cast<std::int64_t>(arrival) && source >= kPhases) source -= kPhases;
    }
    const std::int64_t latency = static_cast<std::int64_t>(arrival) - machineFrameOf(source);
    const bool started = newRun || path.runs.empty();  // after ClearCounts a run goes on without its record
    if (started) {
        PathRun run;
        run.consoleFrame = capture ? source : consoleFrame;
        run.machineFrame = capture ? arrival : static_cast<std::uint64_t>(machineFrameOf(source));
        path.runs.push_back(run);
    }
    PathRun& run = path.runs.back();
    const bool repeat = !newRun && source <= state.last;
    if (state.repeats && !repeat) {  // a run of repeated frames ended (in this run, or the one before)
        LossLocked(path, started && path.runs.size() > 1 ? path.runs[path.runs.size() - 2] : run,
                   GlitchKind::Repeated, state.repeatAt, state.repeats);
        state.repeats = 0;
    }
    if (!newRun) LossLocked(path, run, GlitchKind::Dropped, arrival, repeat ? state.gap : std::max(state.gap, source - state.last - 1));
    if (repeat && state.repeats++ == 0) state.repeatAt = arrival;
    if (newRun || source > state.last) state.last = source;
    state.inRun = true;
    state.gap = 0;
    ++run.frames;
    AddLatency(path, run, latency);
    if (started && listener_) listener_->RunStarted(path, arrival);
}

// ---- capture ----

void AudioPathMeter::OnRecorded(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                                std::uint32_t frames) {
    if (stream >= kCaptureStreamCount || !samples || channels == 0) return;
    std::lock_guard lock(mutex_);
    if (listener_) listener_->Recorded(stream, firstFrame, channels, samples, frames);
    periodFrames_ = frames;
    const std::uint64_t arrivalFrame = MachineFrameNow(firstFrame);
    captureChannels_[stream] = channels;
    LevelCount& level = levels_.capture[stream];
    level.frames += frames;
    const std::size_t count = std::size_t{frames} * channels;
    for (std::size_t i = 0; i < count; ++i)
        level.peak = std::max(level.peak, std::isfinite(samples[i]) ? std::fabs(samples[i]) : 0.0f);

    if (options_.sine) {
        for (unsigned ch = 0; ch < std::min<std::uint32_t>(channels, 2); ++ch)
            for (std::uint32_t i = 0; i < frames; ++i)
                SineLocked(capture_[stream * 2 + ch], captureState_[stream * 2 + ch],
                           samples[std::size_t{i} * channels + ch], firstFrame + i);
        return;
    }
    const unsigned bits = captureBits_;
    // Before the console's pin said when its clock started, frames count from machine time 0.
    const ConsoleClock clock = captureClock_ && captureClock_->Rate() ? *captureClock_ : ConsoleClock(0, kMachineFrameRate);
    auto recover = [bits](float x) -> std::optional<CaptureSampleId> {
        if (bits) return RecoverCaptureSample(x, bits);
        for (unsigned b : {32u, 24u, 16u})
            if (auto id = RecoverCaptureSample(x, b)) return id;
        return std::nullopt;
    };
    for (unsigned ch = 0; ch < std::min<std::uint32_t>(channels, 2); ++ch) {
        PathStats& path = capture_[stream * 2 + ch];
        PathState& state = captureState_[stream * 2 + ch];
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float x = samples[std::size_t{i} * channels + ch];
            if (x == 0.0f) {
                ++path.silentFrames;
                ++state.gap;
                continue;
            }
            const auto id = recover(x);
            if (!id) {
                ++path.unidentified;
                ++state.gap;
                continue;
            }
            if (ch == 0) ++level.identified;
            ++path.frames;
            if (id->channel < kMeterConsoleChannels) ++path.fromOrTo[id->channel];
            if (path.consoleChannel < 0) path.consoleChannel = static_cast<int>(id->channel);
            if (static_cast<int>(id->channel) != path.consoleChannel) {
                ++path.misrouted;
                GlitchLocked(path, GlitchKind::Misrouted, firstFrame + i, 1);
                continue;
            }
            TrackLocked(path, state, id->phase, arrivalFrame + i, 0, &clock);
        }
    }
}

void AudioPathMeter::CaptureFramesLocked(const ConsolePinEvent& e) {
    const KsWaveFormat& f = *e.format;
    const unsigned bytes = f.containerBits / 8;
    if (!e.data || bytes == 0 || f.blockAlign < f.channels * bytes) return;
    LevelCount& level = levels_.consoleIn;
    level.frames += e.frames;
    for (std::uint32_t i = 0; i < e.frames; ++i)
        for (unsigned c = 0; c < f.channels; ++c)
            level.peak = std::max(level.peak, PinLevel(e.data + std::size_t{i} * f.blockAlign + c * bytes, f));
}

// ---- render ----

void AudioPathMeter::OnPlayed(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                              std::uint32_t frames) {
    if (stream < kFirstRenderStream || stream >= kFirstRenderStream + kRenderStreamCount || !samples) return;
    std::lock_guard lock(mutex_);
    if (listener_) listener_->Played(stream, firstFrame, channels, samples, frames);
    periodFrames_ = frames;
    playedOffset_[stream - kFirstRenderStream] =
        static_cast<std::int64_t>(MachineFrameNow(firstFrame)) - static_cast<std::int64_t>(firstFrame);
    LevelCount& level = levels_.render[stream - kFirstRenderStream];
    level.frames += frames;
    const std::size_t count = std::size_t{frames} * channels;
    for (std::size_t i = 0; i < count; ++i)
        level.peak = std::max(level.peak, std::isfinite(samples[i]) ? std::fabs(samples[i]) : 0.0f);
}

void AudioPathMeter::RenderFramesLocked(const ConsolePinEvent& e) {
    const KsWaveFormat& f = *e.format;
    const unsigned bytes = f.containerBits / 8;
    if (!e.data || bytes == 0 || f.blockAlign < f.channels * bytes) return;
    if (renderChannels_.size() < f.channels) {
        const auto old = renderChannels_.size();
        renderChannels_.resize(std::min<std::size_t>(f.channels, kMeterConsoleChannels));
        for (auto c = old; c < renderChannels_.size(); ++c) renderChannels_[c].channel = static_cast<unsigned>(c);
    }
    const bool floatPin = IsFloat(f) && bytes == 4;
    const ConsoleClock clock = e.clock.Rate() ? e.clock : ConsoleClock(e.clock.Origin(), kMachineFrameRate);
    LevelCount& level = levels_.consoleOut;
    level.frames += e.frames;
    for (std::uint32_t i = 0; i < e.frames; ++i) {
        const std::uint64_t consoleFrame = e.firstFrame + i;
        const std::uint64_t played = MachineFrameAt(clock.TimeOf(consoleFrame));
        const BYTE* frame = e.data + std::size_t{i} * f.blockAlign;
        for (unsigned c = 0; c < f.channels && c < kMeterConsoleChannels; ++c) {
            const BYTE* sample = frame + c * bytes;
            level.peak = std::max(level.peak, PinLevel(sample, f));
            ConsoleChannelStats& channel = renderChannels_[c];
            ++channel.frames;
            // The path the offset table sends to this channel, if any.
            const bool tableChannel = c < 2 * kRenderStreamCount;
            std::optional<PlayerSampleId> id;
            bool silent;
            if (options_.sine) {
                float x;
                if (floatPin)
                    std::memcpy(&x, sample, sizeof x);
                else
                    x = static_cast<float>(std::ldexp(static_cast<double>(LeftJustified(sample, f)), -31));
                (x == 0.0f ? channel.silentFrames : channel.identified) += 1;
                if (tableChannel) SineLocked(render_[c], renderState_[c], x, played);
                continue;
            }
            if (floatPin) {
                float x;
                std::memcpy(&x, sample, sizeof x);
                silent = x == 0.0f;
                if (!silent) id = RecoverPlayerSample(x);
            } else {
                const std::int32_t word = LeftJustified(sample, f);
                silent = word == 0;
                if (!silent) id = RecoverPlayerWord(word);
            }
            if (silent || !id) {
                (silent ? channel.silentFrames : channel.unidentified) += 1;
                if (tableChannel) {
                    if (silent) ++render_[c].silentFrames;
                    ++renderState_[c].gap;
                }
                continue;
            }
            ++channel.identified;
            const unsigned index = (id->stream - kFirstRenderStream) * 2 + id->channel;
            PathStats& path = render_[index];
            ++path.frames;
            ++path.fromOrTo[c];
            if (id->ConsoleChannel() != c) {
                ++channel.foreign;
                ++path.misrouted;
                GlitchLocked(path, GlitchKind::Misrouted, played, 1);
                if (tableChannel) ++renderState_[c].gap;
                continue;
            }
            TrackLocked(path, renderState_[index], id->phase, played, consoleFrame, nullptr,
                        playedOffset_[id->stream - kFirstRenderStream]);
        }
    }
}

// ---- pins ----

PinRecord* AudioPathMeter::PinLocked(std::uint32_t id) {
    for (auto it = pins_.rbegin(); it != pins_.rend(); ++it)
        if (it->id == id) return &*it;
    return nullptr;
}

void AudioPathMeter::OnConsolePin(const ConsolePinEvent& e) {
    if (!e.format) return;
    std::lock_guard lock(mutex_);
    if (listener_) listener_->ConsolePin(e);
    if (e.kind == ConsolePinEvent::Kind::Created) {
        PinRecord pin;
        pin.id = e.pin;
        pin.capture = e.capture;
        pin.looped = e.looped;
        pin.format = *e.format;
        pin.created = e.time;
        pin.starts.reserve(8);
        pins_.push_back(pin);
        if (e.capture) {
            captureClock_ = e.clock;
            captureBits_ = e.format->containerBits;
        }
        return;
    }
    PinRecord* pin = PinLocked(e.pin);
    if (pin) pin->writePacketsRefused = e.writePacketsRefused;
    switch (e.kind) {
        case ConsolePinEvent::Kind::Created:
            break;
        case ConsolePinEvent::Kind::Started:
            if (pin) pin->starts.push_back({e.time, e.firstFrame, std::nullopt, std::nullopt});
            break;
        case ConsolePinEvent::Kind::Stopped:
            if (pin && !pin->starts.empty()) pin->starts.back().stopped = e.time;
            break;
        case ConsolePinEvent::Kind::Closed:
            if (pin) pin->closed = e.time;
            break;
        case ConsolePinEvent::Kind::Frames:
            if (pin) {
                pin->frames += e.frames;
                if (!pin->starts.empty() && !pin->starts.back().firstDataFrame)
                    pin->starts.back().firstDataFrame = e.firstFrame;
            }
            if (e.capture)
                CaptureFramesLocked(e);
            else
                RenderFramesLocked(e);
            break;
    }
}

// ---- queries ----

PathStats AudioPathMeter::CapturePath(unsigned stream, unsigned channel) const {
    std::lock_guard lock(mutex_);
    if (stream >= kCaptureStreamCount || channel > 1) return {};
    return capture_[stream * 2 + channel];
}

PathStats AudioPathMeter::RenderPath(unsigned stream, unsigned channel) const {
    std::lock_guard lock(mutex_);
    if (stream < kFirstRenderStream || stream >= kFirstRenderStream + kRenderStreamCount || channel > 1) return {};
    return render_[(stream - kFirstRenderStream) * 2 + channel];
}

std::vector<PathStats> AudioPathMeter::CapturePaths() const {
    std::lock_guard lock(mutex_);
    return capture_;
}

std::vector<PathStats> AudioPathMeter::RenderPaths() const {
    std::lock_guard lock(mutex_);
    return render_;
}

ConsoleChannelStats AudioPathMeter::RenderChannel(unsigned consoleChannel) const {
    std::lock_guard lock(mutex_);
    if (consoleChannel >= renderChannels_.size()) {
        ConsoleChannelStats none;
        none.channel = consoleChannel;
        return none;
    }
    return renderChannels_[consoleChannel];
}

unsigned AudioPathMeter::RenderChannels() const {
    std::lock_guard lock(mutex_);
    return static_cast<unsigned>(renderChannels_.size());
}

std::vector<PinRecord> AudioPathMeter::Pins() const {
    std::lock_guard lock(mutex_);
    return pins_;
}

std::uint32_t AudioPathMeter::CaptureStreamChannels(unsigned stream) const {
    std::lock_guard lock(mutex_);
    return stream < kCaptureStreamCount ? captureChannels_[stream] : 0;
}

std::vector<Glitch> AudioPathMeter::Glitches() const {
    std::lock_guard lock(mutex_);
    return glitches_;
}

LevelSnapshot AudioPathMeter::TakeLevels(Ticks now) {
    std::lock_guard lock(mutex_);
    LevelSnapshot taken = levels_;
    taken.to = now;
    levels_ = LevelSnapshot{};
    levels_.from = now;
    return taken;
}

void AudioPathMeter::ClearCounts() {
    std::lock_guard lock(mutex_);
    auto clear = [](std::vector<PathStats>& paths, std::vector<PathState>& states) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            PathStats fresh;
            fresh.stream = paths[i].stream;
            fresh.channel = paths[i].channel;
            fresh.consoleChannel = paths[i].consoleChannel;
            paths[i] = fresh;
            states[i].gap = 0;
        }
    };
    clear(capture_, captureState_);
    clear(render_, renderState_);
    for (auto& channel : renderChannels_) {
        const unsigned c = channel.channel;
        channel = ConsoleChannelStats{};
        channel.channel = c;
    }
    for (auto& pin : pins_) pin.frames = 0;
    glitches_.clear();
}

}  // namespace sim
