// The simulated console's audio: capture signal, sample clock and render sink.
#include "platform/sim/include/sim/console_audio.h"

#include <cmath>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;

bool IsFloat(const KsWaveFormat& f) { return f.subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; }

std::optional<CaptureSampleId> FromValue(std::int64_t v) {
    if (v == 0 || v < INT16_MIN || v > INT16_MAX) return std::nullopt;
    const std::int64_t id = v >= 0 ? v / 2048 : -((-v + 2047) / 2048);
    if (id == 0 || id < -10) return std::nullopt;
    const auto phase = static_cast<std::uint32_t>(v - id * 2048);
    return CaptureSampleId{static_cast<unsigned>(id < 0 ? id + 10 : id + 9), phase};
}

}  // namespace

std::int16_t CaptureValue(unsigned channel, std::uint64_t frame) {
    const int id = channel < 10 ? static_cast<int>(channel) - 10 : static_cast<int>(channel) - 9;
    return static_cast<std::int16_t>(id * 2048 + static_cast<int>(frame % 2048));
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

void FillCapture(BYTE* data, std::uint64_t first, std::uint32_t frames, const KsWaveFormat& f, bool skipLastWord) {
    const unsigned bytes = f.containerBits / 8;
    if (!data || bytes < 2 || bytes > 4 || f.validBits == 0) return;
    const std::size_t size = std::size_t{frames} * f.channels * bytes;
    BYTE kept[4];
    const bool keep = skipLastWord && size >= sizeof kept;
    if (keep) std::memcpy(kept, data + size - sizeof kept, sizeof kept);
    // The format is looked at once per block and each sample stored without a loop over its bytes: a
    // console streams this for hours of machine time.
    const bool asFloat = IsFloat(f) && bytes == 4;
    const unsigned shift = 8 * (bytes - 2);  // v, v x 256 or v x 65536
    BYTE* out = data;
    for (std::uint32_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < f.channels; ++c) {
            const std::int32_t v = CaptureValue(c, first + i);
            std::uint32_t word;
            if (asFloat) {
                const float x = static_cast<float>(v) / 32768.0f;
                std::memcpy(&word, &x, sizeof word);
            } else {
                word = static_cast<std::uint32_t>(v) << shift;
            }
            out[0] = static_cast<BYTE>(word);  // little-endian
            out[1] = static_cast<BYTE>(word >> 8);
            if (bytes > 2) out[2] = static_cast<BYTE>(word >> 16);
            if (bytes > 3) out[3] = static_cast<BYTE>(word >> 24);
            out += bytes;
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

std::uint64_t ConsoleClock::FramesBy(Ticks now) const {
    if (now <= origin_ || rate_ == 0) return 0;
    return static_cast<std::uint64_t>(now - origin_) * rate_ / kTicksPerSecond;
}

Ticks ConsoleClock::TimeOf(std::uint64_t frames) const {
    if (rate_ == 0) return origin_;
    return origin_ + static_cast<Ticks>((frames * kTicksPerSecond + rate_ - 1) / rate_);
}

void RenderSink::Add(const BYTE* frames, std::uint32_t count, const KsWaveFormat& f, const ConsoleClock& clock,
                     std::uint64_t firstFrame) {
    const unsigned bytes = f.containerBits / 8;
    if (!frames || !count || bytes == 0 || channels_ == 0 || capacity_ == 0 || f.channels != channels_) return;
    for (std::uint32_t i = 0; i < count; ++i) {
        const BYTE* frame = frames + std::size_t{i} * f.blockAlign;
        const Ticks when = clock.TimeOf(firstFrame + i);
        if (times_.size() < capacity_) {
            for (unsigned c = 0; c < channels_; ++c) samples_.push_back(ReadPinSample(frame + c * bytes, f));
            times_.push_back(when);
        } else {
            const std::size_t slot = total_ % capacity_;
            for (unsigned c = 0; c < channels_; ++c) samples_[slot * channels_ + c] = ReadPinSample(frame + c * bytes, f);
            times_[slot] = when;
        }
        ++total_;
    }
}

RenderSink::Snapshot RenderSink::Take() const {
    Snapshot s;
    s.channels = channels_;
    s.total = total_;
    s.first = total_ - times_.size();
    const std::size_t kept = times_.size();
    const std::size_t start = kept < capacity_ ? 0 : total_ % capacity_;
    s.samples.reserve(samples_.size());
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
