// The simulated console's audio: the capture signal every capture sample carries, the clock the pins
// stream on, the sink that keeps what the render pin received, and the loss counts of a pin.
//
// Capture signal: channel c (0-based) carries, as a 16-bit value, v = id(c) x 2048 + (n mod 2048), where
// id(c) = c - 10 for c < 10 and c - 9 from 10 on (no sample is ever 0) and n counts the console's frames
// since it was plugged in. 24-bit samples carry v x 256, 32-bit ones (32 or 24 valid bits) v x 65536,
// float samples v / 32768.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/sim/include/sim/console_ks_descriptions.h"
#include "platform/sim/include/sim/machine.h"

namespace sim {

// The 16-bit capture value of channel `channel` at console frame `frame`.
std::int16_t CaptureValue(unsigned channel, std::uint64_t frame);

// What a capture sample identifies.
struct CaptureSampleId {
    unsigned channel;
    std::uint32_t phase;  // the console frame mod 2048
    bool operator==(const CaptureSampleId&) const = default;
};
// Recovers the channel and frame phase from a float the service's conversion of a `bits`-bit capture
// sample produced (bits 16, 24 or 32; 32 also stands for a float pin). Nothing for a value the signal
// never carries (0, or off the grid).
std::optional<CaptureSampleId> RecoverCaptureSample(float value, unsigned bits);
// The same from the integer the pin delivered, left-justified in 32 bits (v x 65536).
std::optional<CaptureSampleId> RecoverCaptureWord(std::int32_t word);

// Writes `frames` frames of the capture signal in the pin's format (16, 24 packed, 32, float), from
// console frame `first` on. Frames are written whole; with `skipLastWord` the last 32-bit word of the
// region is left as it was (a driver that stops short of its packet's end).
// With `sine`, the sine test signal (sim/sine_signal.h) instead of the identifying one.
void FillCapture(BYTE* data, std::uint64_t first, std::uint32_t frames, const KsWaveFormat& format,
                 bool skipLastWord = false, bool sine = false);
// Reads one sample of the pin's format as the integer the pin got (sign-extended; a float's bits).
std::int32_t ReadPinSample(const BYTE* sample, const KsWaveFormat& format);

// The console's sample clock, a crystal of its own: frame k of a stream at `rate` lies at
// origin + k x 10^7 / (rate x (1 + ppb / 10^9)) ticks, `ppb` parts per billion fast (negative: slow)
// against the machine's clock.
class ConsoleClock {
public:
    ConsoleClock(Ticks origin, std::uint32_t rate, std::int64_t ppb = 0);
    // Frames whole by `now` (frames 0 .. result-1 have been produced or played).
    std::uint64_t FramesBy(Ticks now) const;
    // The first moment by which `frames` frames are whole.
    Ticks TimeOf(std::uint64_t frames) const;
    std::uint32_t Rate() const { return rate_; }
    Ticks Origin() const { return origin_; }
    // Ticks per frame as the fraction kTicksNumerator / Denominator() (0 for a clock without a rate).
    static constexpr std::uint64_t kTicksNumerator = 10'000'000ull * 1'000'000'000ull;
    std::uint64_t Denominator() const { return denominator_; }

private:
    Ticks origin_;
    std::uint32_t rate_;
    std::uint64_t denominator_;  // rate x (10^9 + ppb)
};

// Losses of one pin. An overrun is capture the console produced with no read queued (standard) or a
// notification the reader had not taken when the next one came (real-time); an underrun is render time
// with no write queued (silence played) or a missed notification of a render pin.
struct KsStreamCounts {
    std::uint64_t overruns = 0;        // times
    std::uint64_t overrunFrames = 0;   // frames lost
    std::uint64_t underruns = 0;
    std::uint64_t underrunFrames = 0;  // frames of silence (or of a stale packet) played
};

// What the render pin received, frame by frame: each frame's samples as the integers the pin got, and
// the machine time it was played. Keeps the newest `capacity` frames and counts all.
class RenderSink {
public:
    RenderSink(unsigned channels, std::size_t capacity) : channels_(channels), capacity_(capacity) {}

    void Add(const BYTE* frames, std::uint32_t count, const KsWaveFormat& format, const ConsoleClock& clock,
             std::uint64_t firstFrame);

    struct Snapshot {
        unsigned channels = 0;
        std::uint64_t first = 0;             // index (among all frames received) of frames[0]
        std::uint64_t total = 0;             // frames received in all
        std::vector<std::int32_t> samples;   // kept frames, interleaved, oldest first
        std::vector<Ticks> times;            // when each kept frame was played
        std::size_t Frames() const { return times.size(); }
        std::int32_t At(std::size_t frame, unsigned channel) const { return samples[frame * channels + channel]; }
        std::vector<std::int32_t> Channel(unsigned channel) const;
    };
    Snapshot Take() const;

private:
    unsigned channels_;
    std::size_t capacity_;
    std::uint64_t total_ = 0;
    std::vector<std::int32_t> samples_;  // ring of capacity frames once full
    std::vector<Ticks> times_;
};

// What a console streaming pin tells a tap (ConsoleKs::SetPinTap): its life and every block of frames it
// produced (capture: written into a packet or the looped buffer) or played (render). Called on the
// machine's clock with the machine lock held: a tap must not call into the machine.
struct ConsolePinEvent {
    enum class Kind {
        Created,  // the pin was created (its handle opened) with `format`
        Started,  // it entered RUN; `firstFrame` is the console frame the stream picks up at
        Stopped,  // it left RUN (or the console was unplugged while it ran)
        Closed,   // its handle was closed
        Frames,   // `frames` frames from console frame `firstFrame` on, `data` in the pin's format
    };
    Kind kind = Kind::Created;
    std::uint32_t pin = 0;  // the pin instance, numbered from 1 per console in creation order
    bool capture = false;
    bool looped = false;
    const KsWaveFormat* format = nullptr;
    ConsoleClock clock{0, 0};  // the console's sample clock (origin: the plug)
    Ticks time = 0;            // when it happened (Frames: when the first frame was produced or played)
    std::uint64_t firstFrame = 0;
    std::uint32_t frames = 0;
    const BYTE* data = nullptr;
    std::uint64_t writePacketsRefused = 0;  // looped render: write-packet reports refused so far
};
using ConsolePinTap = std::function<void(const ConsolePinEvent&)>;

// The console's one tap, shared by its pins; `nextPin` numbers them.
struct ConsolePinTapSlot {
    ConsolePinTap tap;
    std::atomic<std::uint32_t> nextPin{1};
};

}  // namespace sim
