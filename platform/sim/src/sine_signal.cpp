#include "platform/sim/include/sim/sine_signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kOmega = 2 * kPi * kSineHz / 48'000.0;

double Sine(double phase, std::uint64_t frame) {
    // The frame reduced to the sine's own cycle of 48000 frames keeps the argument small over hours.
    return kSineAmplitude * std::sin(kOmega * static_cast<double>(frame % 48'000) + phase);
}

void Store(BYTE* at, double x, const KsWaveFormat& f) {
    const unsigned bytes = f.containerBits / 8;
    if (bytes == 4 && IsFloat(f)) {
        const float v = static_cast<float>(x);
        std::memcpy(at, &v, sizeof v);
        return;
    }
    const unsigned valid = std::min<unsigned>(f.validBits, f.containerBits);
    const double scale = std::ldexp(1.0, static_cast<int>(valid) - 1);
    auto v = static_cast<std::int64_t>(std::lround(x * scale));
    v = std::clamp<std::int64_t>(v, -static_cast<std::int64_t>(scale), static_cast<std::int64_t>(scale) - 1);
    const auto word = static_cast<std::uint32_t>(static_cast<std::int64_t>(v) << (f.containerBits - valid));
    for (unsigned b = 0; b < bytes; ++b) at[b] = static_cast<BYTE>(word >> (8 * b));
}

// Solves the n x n system a x = b (n <= 4) by elimination with partial pivoting; false when singular.
bool Solve(double a[4][4], double b[4], int n) {
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (std::fabs(a[p][c]) < 1e-300) return false;
        std::swap(a[p], a[c]);
        std::swap(b[p], b[c]);
        for (int r = 0; r < n; ++r) {
            if (r == c) continue;
            const double k = a[r][c] / a[c][c];
            for (int j = c; j < n; ++j) a[r][j] -= k * a[c][j];
            b[r] -= k * b[c];
        }
    }
    for (int c = 0; c < n; ++c) b[c] /= a[c][c];
    return true;
}

// cos and sin of omega x t for t = first, first + 1, ...: one rotation a step instead of two calls.
struct Rotation {
    double c, s;
    const double dc, ds;
    Rotation(double omega, double first)
        : c(std::cos(omega * first)), s(std::sin(omega * first)), dc(std::cos(omega)), ds(std::sin(omega)) {}
    void Next() {
        const double next = c * dc - s * ds;
        s = s * dc + c * ds;
        c = next;
    }
};

const double kTwoCos = 2 * std::cos(kOmega);

}  // namespace

double CaptureSine(unsigned channel, std::uint64_t frame) { return Sine(0.3 + 0.41 * channel, frame); }

double PlayerSine(unsigned stream, unsigned channel, std::uint64_t frame) {
    return Sine(0.2 + 0.53 * (2 * (stream - 11) + channel), frame);
}

void WriteCaptureSine(BYTE* data, std::uint64_t first, std::uint32_t frames, const KsWaveFormat& f) {
    const unsigned bytes = f.containerBits / 8;
    for (std::uint32_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < f.channels; ++c)
            Store(data + (std::size_t{i} * f.channels + c) * bytes, CaptureSine(c, first + i), f);
}

void FillPlayerSine(unsigned stream, std::uint64_t first, std::uint32_t channels, float* samples, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < channels; ++c)
            samples[std::size_t{i} * channels + c] = c < 2 ? static_cast<float>(PlayerSine(stream, c, first + i)) : 0.0f;
}

double SineThdPlusNoiseDb(const float* x, std::size_t n, double omega) {
    if (!x || n < 64) return 0.0;
    const double mid = static_cast<double>(n) / 2;
    // The frequency first from the sine's own recurrence, x[i] + x[i-2] = 2 cos(w) x[i-1] (least
    // squares): a resampled path's sine runs up to a part in a thousand off, too far for the linearised
    // fit below to start from the nominal one.
    double num = 0, den = 0;
    for (std::size_t i = 2; i < n; ++i) {
        num += static_cast<double>(x[i - 1]) * (static_cast<double>(x[i]) + x[i - 2]);
        den += static_cast<double>(x[i - 1]) * x[i - 1];
    }
    if (den > 0 && std::fabs(num / den) < 2) omega = std::acos(num / den / 2);
    double coef[4] = {0, 0, 0, 0};  // cos, sin, offset, frequency correction
    // Three-parameter fits, then four with the frequency term linearised about the last fit (a few rounds).
    for (int round = 0; round < 6; ++round) {
        const int k = round == 0 ? 3 : 4;
        double a[4][4] = {}, b[4] = {};
        const double A = coef[0], B = coef[1];
        Rotation turn(omega, -mid);
        for (std::size_t i = 0; i < n; ++i, turn.Next()) {
            const double t = static_cast<double>(i) - mid;
            const double c = turn.c, s = turn.s;
            const double col[4] = {c, s, 1.0, t * (-A * s + B * c)};
            for (int r = 0; r < k; ++r) {
                for (int j = 0; j < k; ++j) a[r][j] += col[r] * col[j];
                b[r] += col[r] * x[i];
            }
        }
        if (!Solve(a, b, k)) return 0.0;
        coef[0] = b[0], coef[1] = b[1], coef[2] = b[2];
        if (k == 4) omega += b[3];
    }
    double residual = 0, fundamental = 0;
    Rotation turn(omega, -mid);
    for (std::size_t i = 0; i < n; ++i, turn.Next()) {
        const double f = coef[0] * turn.c + coef[1] * turn.s;
        const double e = x[i] - f - coef[2];
        residual += e * e;
        fundamental += f * f;
    }
    if (fundamental <= 0) return 0.0;
    return 10 * std::log10(std::max(residual, 1e-30) / fundamental);
}

SineTrack::Event SineTrack::Add(float value) {
    const double x = value;
    Event event = Event::None;
    // A sine quantised to the pin's depth may read 0 at a zero crossing: silence only where the sine was
    // not about to cross.
    const bool crossing = inRun_ && silent_ == 0 && running_ >= 2 && std::fabs(kTwoCos * x1_ - x2_) < 1e-4;
    if (x == 0.0 && !crossing) {
        if (++silent_ == 1) window_.clear();
        if (inRun_ && silent_ >= kRunGap) {
            inRun_ = false;
            event = Event::Stopped;
        }
        x2_ = x1_, x1_ = x;
        return event;
    }
    if (!inRun_) {
        inRun_ = true;
        running_ = 0;
        event = Event::Started;
    } else if (silent_ != 0) {
        running_ = 0;  // a gap shorter than a closed bridge's
        event = Event::Broke;
    } else if (running_ >= 2) {
        // A sine obeys x[n] = 2 cos(w) x[n-1] - x[n-2]; a lost or repeated stretch does not.
        const double predicted = kTwoCos * x1_ - x2_;
        if (std::fabs(x - predicted) > 5e-4) {
            running_ = 0;
            window_.clear();
            event = Event::Broke;
        }
    }
    silent_ = 0;
    x2_ = x1_, x1_ = x;
    ++running_;
    if (running_ > kSettle) {
        window_.push_back(value);
        if (window_.size() == kWindow) {
            if (passed_++ % kWindowEvery == 0) {
                const double db = SineThdPlusNoiseDb(window_.data(), window_.size(), kOmega);
                worstDb_ = windows_++ ? std::max(worstDb_, db) : db;
            }
            window_.clear();
        }
    }
    return event;
}

}  // namespace sim
