// sim::AudioPathMeter: follows every audio path of a session end to end by the identifying signals,
// and says per path which channels it carried, whether every frame arrived once and in order, and how
// late.
//
// Paths:
// - capture path (s, k): capture stream s (0 to 10), its channel k (0 or 1), fed by one console capture
//   channel. Each sample a recorder receives names the console channel and frame it came from
//   (RecoverCaptureSample); the frame is received at machine frame firstFrame + i of the recorder's half.
// - render path (s, ch): render stream s (11 to 15), channel ch, into the console render channel of the
//   offset table (PlayerSampleId::ConsoleChannel). Each integer the console's render pin plays names the
//   application frame m it was handed over at (RecoverPlayerWord; RecoverPlayerSample for a float pin).
//
// Times are machine frames at 48 kHz (frame i is machine time i / 48000 s, as the driver's applications
// count them). A console frame k of a pin whose clock started at `origin` (the plug) lies at machine frame
// floor(origin x 48000 / 10^7) + k x 48000 / rate. Latency is counted in machine frames: capture, the
// machine frame the application received the sample at minus the console frame's machine frame; render,
// the console frame the pin played it at minus the application frame m. A sample names its frame only
// modulo 2048 (42.7 ms); the first of a run is taken as the newest such frame not later than its arrival,
// and each later one as the such frame nearest to the one after its predecessor (not later than its
// arrival either). A jump of more than 1024 frames within a run is therefore ambiguous: on the virtual
// clock there is none; on a loaded real clock such figures are approximate.
//
// Runs: a path's identified frames fall into runs. The first identified frame, and the first after at
// least `newRunSilence` frames of silence on the path, start a run (a bridge closed and opened again
// between them). Within a run a frame that skips ahead counts the frames skipped as dropped, silence
// between two identified frames counts its length as dropped when that is more, and a frame not after the
// newest one seen counts as repeated. A sample from another console channel (capture) or one that lands
// in another console channel (render) counts as misrouted and takes no part in the sequence.
//
// Threads: the callbacks the meter installs run on the machine's clock with the machine lock held; they
// take only the meter's own lock, allocate nothing beyond amortised growth, and never call into the
// machine. Queries come from any thread and return copies. Destroy the meter before the driver and the
// console it was built over (it removes its players, recorders and tap).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/sim/include/sim/console_audio.h"
#include "platform/sim/include/sim/machine.h"

namespace sim {

class Console;
class VirtualAudioDriver;

inline constexpr std::uint32_t kMachineFrameRate = 48'000;
inline constexpr unsigned kCaptureStreamCount = 11;  // streams 0 to 10
inline constexpr unsigned kFirstRenderStream = 11;   // streams 11 to 15
inline constexpr unsigned kRenderStreamCount = 5;
inline constexpr unsigned kMeterConsoleChannels = 32;  // console channels the meter tells apart

// The machine frame (48 kHz) at machine time `time`, and the time a machine frame starts.
std::uint64_t MachineFrameAt(Ticks time);
Ticks MachineFrameTime(std::uint64_t frame);

// What went wrong on a path. A new kind goes before Count and gets its name in GlitchKindName; the
// counts, the records and their readers follow.
// A slip is a whole driver period dropped or repeated: the routing wrote or read a half it had already
// written or read, or skipped one (two clocks apart).
enum class GlitchKind : std::uint8_t { Dropped, Repeated, Misrouted, Slipped, Count };
inline constexpr std::size_t kGlitchKinds = static_cast<std::size_t>(GlitchKind::Count);
const char* GlitchKindName(GlitchKind kind);  // "dropped", "repeated", "misrouted", "slipped"

// Frames (samples, for misrouted) per glitch kind.
struct GlitchCounts {
    std::array<std::uint64_t, kGlitchKinds> frames{};
    std::uint64_t& operator[](GlitchKind kind) { return frames[static_cast<std::size_t>(kind)]; }
    std::uint64_t operator[](GlitchKind kind) const { return frames[static_cast<std::size_t>(kind)]; }
    std::uint64_t Total() const;
};

// Glitches of one kind on one path, close together: from machine frame `first` to `last` (when the meter
// noticed them: capture, when the application received the frame; render, when the console played it),
// `frames` in all. Glitches of the same path and kind within 10 ms of each other share a record.
struct Glitch {
    bool capture = false;
    unsigned stream = 0;   // 0 to 10 capture, 11 to 15 render
    unsigned channel = 0;  // 0 or 1
    GlitchKind kind = GlitchKind::Dropped;
    std::uint64_t first = 0, last = 0;
    std::uint64_t frames = 0;
};

// One run of a path: identified frames with no bridge closure between them.
struct PathRun {
    // Capture: the console frame (index since the plug) of the run's first identified frame, and the
    // machine frame the application received it at. Render: the console render frame the pin played it
    // at, and the application frame m it was handed over at.
    std::uint64_t consoleFrame = 0;
    std::uint64_t machineFrame = 0;
    std::uint64_t frames = 0;  // identified frames in the run (misrouted ones aside)
    std::uint64_t dropped = 0;
    std::uint64_t repeated = 0;
    std::int64_t minLatency = 0;  // machine frames
    std::int64_t maxLatency = 0;
};

struct PathStats {
    unsigned stream = 0;   // 0 to 10 capture, 11 to 15 render
    unsigned channel = 0;  // 0 or 1
    // Capture: the console channel the path's first identified sample came from. Render: the offset
    // table's console channel. -1: nothing identified yet (capture).
    int consoleChannel = -1;
    // Identified samples per console channel: capture, the channel each came from; render, the channel
    // each landed in.
    std::array<std::uint64_t, kMeterConsoleChannels> fromOrTo{};
    std::uint64_t frames = 0;        // identified samples (misrouted ones included)
    std::uint64_t silentFrames = 0;  // zeros: in the stream's channel (capture) or the table's console channel (render)
    std::uint64_t unidentified = 0;  // capture: non-zero samples the signal never carries
    std::uint64_t misrouted = 0;     // identified samples from (capture) or into (render) another console channel
    std::uint64_t dropped = 0;       // summed over runs
    std::uint64_t repeated = 0;
    GlitchCounts glitches;           // the same per kind (dropped, repeated, misrouted, ...)
    std::uint64_t slips = 0;         // periods dropped or repeated whole (not in dropped or repeated)
    std::int64_t minLatency = 0;  // machine frames, over all runs; meaningful when some run has frames
    std::int64_t maxLatency = 0;
    std::vector<PathRun> runs;
    // The sine test signal: windows measured, and the worst THD+N among them (dB).
    std::uint32_t sineWindows = 0;
    double worstThdPlusNoiseDb = 0;

    bool Identified() const { return !runs.empty(); }
    bool LatencyConstant() const { return Identified() && minLatency == maxLatency; }
    double MinLatencyMs() const { return static_cast<double>(minLatency) * 1000.0 / kMachineFrameRate; }
    double MaxLatencyMs() const { return static_cast<double>(maxLatency) * 1000.0 / kMachineFrameRate; }
};

// What one console render channel played.
struct ConsoleChannelStats {
    unsigned channel = 0;
    std::uint64_t frames = 0;  // frames played
    std::uint64_t silentFrames = 0;
    std::uint64_t identified = 0;    // samples of some application's signal
    std::uint64_t foreign = 0;       // of those, samples the offset table sends to another channel
    std::uint64_t unidentified = 0;  // non-zero samples no application played
    bool Silent() const { return silentFrames == frames; }
};

// One instance of a console streaming pin, as its tap reported it.
struct PinRecord {
    std::uint32_t id = 0;  // ConsolePinEvent::pin
    bool capture = false;
    bool looped = false;
    KsWaveFormat format;
    Ticks created = 0;
    std::optional<Ticks> closed;
    struct Start {
        Ticks time = 0;
        std::uint64_t pickupFrame = 0;                // console frame the stream picked up at on entering RUN
        std::optional<std::uint64_t> firstDataFrame;  // console frame of the first frame it produced or played after
        std::optional<Ticks> stopped;
    };
    std::vector<Start> starts;
    std::uint64_t frames = 0;  // frames produced (capture) or played (render) in all
    std::uint64_t writePacketsRefused = 0;  // looped render: write-packet reports the pin refused
};

// Level and frames of one endpoint or pin over an interval.
struct LevelCount {
    float peak = 0.0f;             // largest magnitude, full scale 1.0
    std::uint64_t frames = 0;      // frames that flowed
    std::uint64_t identified = 0;  // capture endpoints: frames whose first channel was identified
    double PeakDb() const;         // -inf for silence
};

struct LevelSnapshot {
    Ticks from = 0, to = 0;
    std::array<LevelCount, kCaptureStreamCount> capture{};  // what each capture stream's recorder received
    std::array<LevelCount, kRenderStreamCount> render{};    // what the players handed over (11 to 15)
    LevelCount consoleIn, consoleOut;                       // what the console's pins produced and played
    GlitchCounts captureGlitches, renderGlitches;           // over every path of the direction
};

// Receives every block the meter sees, on the machine's clock with the machine lock and the meter's lock
// held (so it must call neither the machine nor the meter): for recording.
class AudioPathListener {
public:
    virtual ~AudioPathListener() = default;
    virtual void ConsolePin(const ConsolePinEvent& event) { (void)event; }
    // What an application recording from capture stream `stream` received / what one playing into render
    // stream `stream` handed over, `frames` interleaved frames of `channels` from machine frame `firstFrame`.
    virtual void Recorded(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                          std::uint32_t frames) {
        (void)stream, (void)firstFrame, (void)channels, (void)samples, (void)frames;
    }
    virtual void Played(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                        std::uint32_t frames) {
        (void)stream, (void)firstFrame, (void)channels, (void)samples, (void)frames;
    }
    // A path's first identified frame of a new run (path.runs.back()) arrived at machine frame `arrival`.
    virtual void RunStarted(const PathStats& path, std::uint64_t arrival) { (void)path, (void)arrival; }
};

class AudioPathMeter {
public:
    struct Options {
        std::vector<unsigned> playedStreams = {11, 12, 13};  // "System", "Game", "Music"
        bool recorders = true;                               // record from every capture endpoint
        std::uint64_t newRunSilence = 2'400;                 // frames of silence that end a run (50 ms)
        std::size_t glitchRecords = 10'000;                  // records Glitches() keeps (counts go on)
        // The sine test signal (sim/sine_signal.h): the players play it and every path is judged by its
        // sine: a break in it is a slip, and each clean window after the settling gives a THD+N figure.
        // Frames, silence, runs and slips are counted; nothing is identified, so no latency or routing.
        bool sine = false;
    };

    // Over a machine: players of the identifying signal on `playedStreams`, recorders on all eleven
    // capture streams, and the console's pin tap (console may be null). Set before or after the plug.
    AudioPathMeter(VirtualAudioDriver& driver, Console* console, Options options);
    AudioPathMeter(VirtualAudioDriver& driver, Console* console) : AudioPathMeter(driver, console, Options{}) {}
    // Detached: fed only through the On* calls below (tests of the meter).
    explicit AudioPathMeter(Options options);
    AudioPathMeter() : AudioPathMeter(Options{}) {}
    ~AudioPathMeter();
    AudioPathMeter(const AudioPathMeter&) = delete;
    AudioPathMeter& operator=(const AudioPathMeter&) = delete;

    // What the installed callbacks call; streams numbered 0 to 15.
    void OnConsolePin(const ConsolePinEvent& event);
    void OnRecorded(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                    std::uint32_t frames);
    void OnPlayed(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                  std::uint32_t frames);

    // At most one listener; null removes it. It must outlive its registration.
    void SetListener(AudioPathListener* listener);

    // Paths: a capture path for every (stream 0..10, channel 0..1) and a render path for every
    // (stream 11..15, channel 0..1), whether anything flowed or not.
    PathStats CapturePath(unsigned stream, unsigned channel) const;
    PathStats RenderPath(unsigned stream, unsigned channel) const;
    std::vector<PathStats> CapturePaths() const;  // stream-major order
    std::vector<PathStats> RenderPaths() const;
    ConsoleChannelStats RenderChannel(unsigned consoleChannel) const;
    unsigned RenderChannels() const;      // console render channels seen so far
    std::vector<PinRecord> Pins() const;  // creation order
    // Channels each capture stream's recorder received (0: never opened).
    std::uint32_t CaptureStreamChannels(unsigned stream) const;

    // Every glitch so far, in the order the meter noticed them (at most Options::glitchRecords).
    std::vector<Glitch> Glitches() const;

    // Levels and frames since the previous call (the first: since the meter was made), ending at `now`.
    LevelSnapshot TakeLevels(Ticks now);

    // Clears the counts (frames, drops, repeats, latency, runs, misroutes, levels of the render channels)
    // but keeps following the paths: a path in a run goes on with it, and its next identified frame opens
    // runs[0] without counting what came before (so a test can measure from the moment the gate opened).
    void ClearCounts();

private:
    struct PathState;
    struct RenderPinState;
    void InitPaths();
    static void AddLatency(PathStats& path, PathRun& run, std::int64_t latency);
    void GlitchLocked(PathStats& path, GlitchKind kind, std::uint64_t at, std::uint64_t frames);
    // Frames dropped or repeated in one piece: a slip when they are one driver period, else as they are.
    void LossLocked(PathStats& path, PathRun& run, GlitchKind kind, std::uint64_t at, std::uint64_t frames);
    void TrackLocked(PathStats& path, PathState& state, std::uint32_t phase, std::uint64_t arrival,
                     std::uint64_t consoleFrame, const ConsoleClock* captureClock, std::int64_t sourceOffset = 0);
    // The machine's frame now (over a machine), else `frame`: applications' frames count on the driver's
    // clock, which may drift from the machine's or follow the service.
    std::uint64_t MachineFrameNow(std::uint64_t frame) const;
    void RenderFramesLocked(const ConsolePinEvent& event);
    // A sample of the sine test signal on `path`, arriving at machine frame `arrival`.
    void SineLocked(PathStats& path, PathState& state, float x, std::uint64_t arrival);
    void CaptureFramesLocked(const ConsolePinEvent& event);
    PinRecord* PinLocked(std::uint32_t id);

    Options options_;
    std::uint64_t periodFrames_ = 0;  // the driver's period, as its applications last got it
    VirtualAudioDriver* driver_ = nullptr;
    Console* console_ = nullptr;
    mutable std::mutex mutex_;
    AudioPathListener* listener_ = nullptr;
    std::vector<PathStats> capture_;  // 22
    std::vector<PathStats> render_;   // 10
    std::vector<PathState> captureState_, renderState_;
    std::vector<ConsoleChannelStats> renderChannels_;
    std::vector<PinRecord> pins_;
    std::array<std::uint32_t, kCaptureStreamCount> captureChannels_{};
    // The console capture clock of the newest capture pin (for capture latency).
    std::optional<ConsoleClock> captureClock_;
    std::array<std::int64_t, kRenderStreamCount> playedOffset_{};  // machine frame minus the player's frame
    unsigned captureBits_ = 0;  // the capture pin's container bits (32 for float); 0: unknown
    LevelSnapshot levels_;
    std::vector<Glitch> glitches_;
};

}  // namespace sim
