// The simulated console's audio: capture signal, sample clock and render sink.
#include "platform/sim/include/sim/console_audio.h"

#include "platform/sim/include/sim/sine_signal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace sim {

namespace {



// Samples are little-endian words, as the host's: one store or load of `Bytes` bytes each.
static_assert(std::endian::native == std::endian::little);

int CaptureId(unsigned channel) { return channel < 10 ? static_cast<int>(channel) - 10 : static_cast<int>(channel) - 9; }

// The capture signal in one sample layout: a console streams this for hours of machine time.
template <unsigned Bytes, bool Float>
void FillWords(BYTE* out, std::uint64_t first, std::uint32_t frames, unsigned channels) {
    constexpr unsigned kShift = 8 * (Bytes - 2);  // v, v x 256 or v x 65536
    for (std::uint32_t i = 0; i < frames; ++i) {
        const int phase = static_cast<int>((first + i) % 2048);
        for (unsigned c = 0; c < channels; ++c) {
            const int v = CaptureId(c) * 2048 + phase;
            const std::uint32_t word = Float ? std::bit_cast<std::uint32_t>(static_cast<float>(v) / 32768.0f)
                                             : static_cast<std::uint32_t>(v) << kShift;
            std::memcpy(out, &word, Bytes);
            out += Bytes;
        }
    }
}

template <unsigned Bytes>
void ReadWords(const BYTE* in, unsigned count, std::int32_t* out) {
    for (unsigned i = 0; i < count; ++i, in += Bytes) {
        std::uint32_t word = 0;
        std::memcpy(&word, in, Bytes);
        out[i] = static_cast<std::int32_t>(word << (32 - 8 * Bytes)) >> (32 - 8 * Bytes);  // sign-extended
    }
}

std::optional<CaptureSampleId> FromValue(std::int64_t v) {
    if (v == 0 || v < INT16_MIN || v > INT16_MAX) return std::nullopt;
    const std::int64_t id = v >= 0 ? v / 2048 : -((-v + 2047) / 2048);
    if (id == 0 || id < -10) return std::nullopt;
    const auto phase = static_cast<std::uint32_t>(v - id * 2048);
    return CaptureSampleId{static_cast<unsigned>(id < 0 ? id + 10 : id + 9), phase};
}

}  // namespace

std::int16_t CaptureValue(unsigned channel, std::uint64_t frame) {
    return static_cast<std::int16_t>(CaptureId(channel) * 2048 + static_cast<int>(frame % 2048));
}

std::optional<CaptureSampleId> RecoverCaptureSample(float value, unsigned bits) {
    double scaled;
    switch (bits) {
        case 16: scaled = static_cast<double>(value) * 32767.0; break;
        case 24: scaled = static_cast<double>(value) * 8388607.0 / 256.0; break;
        case 32: scaled = static_cast<double>(value) * 32768.0; break;
        default: return std::nullopt;
    }
    if (!std::isfinite(scaled)) return std::nullopt;
    const double v = std::nearbyint(scaled);
    if (std::fabs(scaled - v) > 0.01) return std::nullopt;
    return FromValue(static_cast<std::int64_t>(v));
}

std::optional<CaptureSampleId> RecoverCaptureWord(std::int32_t word) {
    if (static_cast<std::uint32_t>(word) & 0xFFFFu) return std::nullopt;
    return FromValue(word >> 16);
}

void FillCapture(BYTE* data, std::uint64_t first, std::uint32_t frames, const KsWaveFormat& f, bool skipLastWord,
                 bool sine) {
    const unsigned bytes = f.containerBits / 8;
    if (!data || bytes < 2 || bytes > 4 || f.validBits == 0) return;
    const std::size_t size = std::size_t{frames} * f.channels * bytes;
    BYTE kept[4] = {};
    const bool keep = skipLastWord && size >= sizeof kept;
    if (keep) std::memcpy(kept, data + size - sizeof kept, sizeof kept);
    if (sine) {
        WriteCaptureSine(data, first, frames, f);
    } else {
        switch (bytes) {
            case 2: FillWords<2, false>(data, first, frames, f.channels); break;
            case 3: FillWords<3, false>(data, first, frames, f.channels); break;
            default:
                if (IsFloat(f))
                    FillWords<4, true>(data, first, frames, f.channels);
                else
                    FillWords<4, false>(data, first, frames, f.channels);
        }
    }
    if (keep) std::memcpy(data + size - sizeof kept, kept, sizeof kept);
}

std::int32_t ReadPinSample(const BYTE* s, const KsWaveFormat& f) {
    switch (f.containerBits) {
        case 16: return static_cast<std::int16_t>(static_cast<std::uint16_t>(s[0] | s[1] << 8));
        case 24: {
            const std::uint32_t u = static_cast<std::uint32_t>(s[0]) | static_cast<std::uint32_t>(s[1]) << 8 |
                                    static_cast<std::uint32_t>(s[2]) << 16;
            return static_cast<std::int32_t>(u << 8) >> 8;
        }
        case 32: {
            std::int32_t v;
            std::memcpy(&v, s, sizeof v);
            return v;
        }
        default: return s[0];
    }
}

ConsoleClock::ConsoleClock(Ticks origin, std::uint32_t rate, std::int64_t ppb)
    : origin_(origin),
      rate_(rate),
      // A crystal off by more than a tenth is no crystal; the bound keeps the arithmetic in range.
      denominator_(static_cast<std::uint64_t>(rate) *
                   static_cast<std::uint64_t>(1'000'000'000 + std::clamp<std::int64_t>(ppb, -100'000'000, 100'000'000))) {}

std::uint64_t ConsoleClock::FramesBy(Ticks now) const {
    if (now <= origin_ || rate_ == 0) return 0;
    const auto ticks = static_cast<unsigned __int128>(now - origin_);
    return static_cast<std::uint64_t>(ticks * denominator_ / kTicksNumerator);
}

Ticks ConsoleClock::TimeOf(std::uint64_t frames) const {
    if (rate_ == 0) return origin_;
    const auto scaled = static_cast<unsigned __int128>(frames) * kTicksNumerator + denominator_ - 1;
    return origin_ + static_cast<Ticks>(scaled / denominator_);
}

void RenderSink::Add(const BYTE* frames, std::uint32_t count, const KsWaveFormat& f, const ConsoleClock& clock,
                     std::uint64_t firstFrame) {
    const unsigned bytes = f.containerBits / 8;
    if (!frames || !count || bytes == 0 || channels_ == 0 || capacity_ == 0 || f.channels != channels_) return;
    if (times_.empty()) {
        samples_.resize(capacity_ * channels_);
        times_.resize(capacity_);
    }
    // Play times step by whole ticks with a remainder, as ConsoleClock::TimeOf rounds them (no division
    // per frame).
    const std::uint64_t denominator = std::max<std::uint64_t>(clock.Denominator(), 1);
    constexpr std::uint64_t numerator = ConsoleClock::kTicksNumerator;
    const auto start = static_cast<unsigned __int128>(firstFrame) * numerator + denominator - 1;
    auto ticks = static_cast<std::uint64_t>(start / denominator);
    auto remainder = static_cast<std::uint64_t>(start % denominator);
    std::size_t slot = total_ % capacity_;
    for (std::uint32_t i = 0; i < count; ++i) {
        const BYTE* frame = frames + std::size_t{i} * f.blockAlign;
        std::int32_t* out = &samples_[slot * channels_];
        switch (bytes) {
            case 2: ReadWords<2>(frame, channels_, out); break;
            case 3: ReadWords<3>(frame, channels_, out); break;
            case 4: ReadWords<4>(frame, channels_, out); break;
            default:
                for (unsigned c = 0; c < channels_; ++c) out[c] = ReadPinSample(frame + c * bytes, f);
        }
        times_[slot] = clock.Rate() ? clock.Origin() + static_cast<Ticks>(ticks) : clock.Origin();
        ticks += numerator / denominator;
        remainder += numerator % denominator;
        if (remainder >= denominator) {
            remainder -= denominator;
            ++ticks;
        }
        if (++slot == capacity_) slot = 0;
    }
    total_ += count;
}

RenderSink::Snapshot RenderSink::Take() const {
    Snapshot s;
    s.channels = channels_;
    s.total = total_;
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(total_, capacity_));
    s.first = total_ - kept;
    const std::size_t start = kept < capacity_ ? 0 : total_ % capacity_;
    s.samples.reserve(kept * channels_);
    s.times.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) {
        const std::size_t slot = (start + i) % kept;
        s.times.push_back(times_[slot]);
        s.samples.insert(s.samples.end(), samples_.begin() + static_cast<std::ptrdiff_t>(slot * channels_),
                         samples_.begin() + static_cast<std::ptrdiff_t>((slot + 1) * channels_));
    }
    return s;
}

std::vector<std::int32_t> RenderSink::Snapshot::Channel(unsigned channel) const {
    std::vector<std::int32_t> out;
    if (channel >= channels) return out;
    out.reserve(Frames());
    for (std::size_t i = 0; i < Frames(); ++i) out.push_back(At(i, channel));
    return out;
}

}  // namespace sim
