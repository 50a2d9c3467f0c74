#include "Service/Quillon/streaming/FrameResampler.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "Service/Quillon/streaming/SampleConversion.h"

// The filter. An output frame at read position t = i + f (i whole, 0 <= f < 1) is the sum over the
// kTaps input frames i - kHalf + 1 ... i + kHalf of x[k] h(k - t), where h is a sinc cut off at half the
// input rate (24 kHz) under a Kaiser window (beta 10) spanning kHalf frames each side of t. For every
// one of kPhases fractions p / kPhases the table holds the kTaps coefficients of h, scaled so that they
// sum to 1 (every phase passes DC unchanged), and the difference to the next phase; a frame's
// coefficients are the phase below f plus the remaining fraction of that difference. The window is
// taken less its value at the edge (so it ends at zero there), which keeps the last phase equal to the
// first one a frame on: the coefficients move continuously as the read position crosses a frame.
//
// The arithmetic is in single precision: per coefficient a multiply and an add; per channel and tap a
// multiply, added into one of four partial sums (tap modulo 4) that are added in pairs at the end. The
// AVX2 form (eight channels per instruction, four at the end of a frame) and the SSE2 form (four) do
// the same operations on every channel in the same order, so they give the same results, bit for bit.
// No fused multiply-add: it would round differently from the SSE2 form.

namespace {

constexpr std::uint32_t kTaps = CFrameResampler::kTaps;
constexpr std::uint32_t kHalf = kTaps / 2;
constexpr std::uint32_t kPhases = CFrameResampler::kPhases;
constexpr std::uint32_t kHistory = kHalf - 1;  // frames the filter reads before the read position's
constexpr double kCutoff = 0.5;                // in input frames per second: half the rate
constexpr double kBeta = 10.0;
constexpr std::uint32_t kChunk = 64;  // output frames whose positions are worked out before the kernel

static_assert(kTaps % 8 == 0 && (kPhases & (kPhases - 1)) == 0, "taps in vectors, phases a power of two");

double BesselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 100; ++k) {
        const double half = x / (2.0 * k);
        term *= half * half;
        sum += term;
        if (term < 1e-18 * sum) break;
    }
    return sum;
}

// Per phase: kTaps coefficients, then kTaps differences to the next phase.
struct FilterTable {
    alignas(64) float values[kPhases * 2 * kTaps];

    FilterTable() {
        double phases[kPhases + 1][kTaps];
        const double edge = BesselI0(kBeta);
        for (std::uint32_t p = 0; p <= kPhases; ++p) {
            double sum = 0;
            for (std::uint32_t j = 0; j < kTaps; ++j) {
                const double x = static_cast<double>(j) - (kHalf - 1) - static_cast<double>(p) / kPhases;
                const double r = x / kHalf;
                const double window = r * r >= 1 ? 0 : (BesselI0(kBeta * std::sqrt(1 - r * r)) - 1) / (edge - 1);
                const double a = 2 * std::numbers::pi * kCutoff * x;
                const double v = (x == 0 ? 1 : std::sin(a) / a) * window;
                phases[p][j] = v;
                sum += v;
            }
            for (std::uint32_t j = 0; j < kTaps; ++j) phases[p][j] /= sum;
        }
        for (std::uint32_t p = 0; p < kPhases; ++p) {
            for (std::uint32_t j = 0; j < kTaps; ++j) {
                values[p * 2 * kTaps + j] = static_cast<float>(phases[p][j]);
                values[p * 2 * kTaps + kTaps + j] = static_cast<float>(phases[p + 1][j] - phases[p][j]);
            }
        }
    }
};

const float* Table() {
    static const FilterTable table;
    return table.values;
}

// Where an output frame of a pull reads: the storage frame at the read position's whole part, the
// phase below its fraction and the remaining fraction of a phase.
struct Position {
    std::uint32_t frame;
    std::uint32_t phase;
    float fraction;
};

// Stores the lanes of one group of `width` channels at channel `g` of an output frame of `channels`:
// whole when they all exist, otherwise only those that do.
template <std::uint32_t width>
inline void StoreTail(float* out, const float* lanes, std::uint32_t g, std::uint32_t channels) {
    for (std::uint32_t k = 0; k < width && g + k < channels; ++k) out[g + k] = lanes[k];
}

// ---- SSE2: passes over the taps for two groups of four channels (or the last one) ----

template <std::uint32_t groups>
inline void PassSse2(const float* c, const float* x, std::uint32_t stride, float* out, std::uint32_t g,
                     std::uint32_t channels) {
    __m128 s[groups][4];
#pragma GCC unroll 4
    for (std::uint32_t r = 0; r < 4; ++r) {
        const __m128 k = _mm_set1_ps(c[r]);
#pragma GCC unroll 2
        for (std::uint32_t v = 0; v < groups; ++v) s[v][r] = _mm_mul_ps(k, _mm_loadu_ps(x + r * stride + 4 * v));
    }
    for (std::uint32_t j = 4; j < kTaps; j += 4) {
        const float* row = x + j * stride;
    #pragma GCC unroll 4
    for (std::uint32_t r = 0; r < 4; ++r) {
            const __m128 k = _mm_set1_ps(c[j + r]);
#pragma GCC unroll 2
            for (std::uint32_t v = 0; v < groups; ++v)
                s[v][r] = _mm_add_ps(s[v][r], _mm_mul_ps(k, _mm_loadu_ps(row + r * stride + 4 * v)));
        }
    }
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < groups; ++v) {
        const __m128 sum = _mm_add_ps(_mm_add_ps(s[v][0], s[v][1]), _mm_add_ps(s[v][2], s[v][3]));
        const std::uint32_t at = g + 4 * v;
        if (at + 4 <= channels) {
            _mm_storeu_ps(out + at, sum);
        } else {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, sum);
            StoreTail<4>(out, lanes, at, channels);
        }
    }
}

void FramesSse2(const Position* positions, std::uint32_t count, const float* table, const float* data,
                std::uint32_t stride, std::uint32_t channels, float* out) {
    alignas(16) float c[kTaps];
    for (std::uint32_t n = 0; n < count; ++n, out += channels) {
        const float* phase = table + positions[n].phase * 2 * kTaps;
        const __m128 fraction = _mm_set1_ps(positions[n].fraction);
        for (std::uint32_t j = 0; j < kTaps; j += 4)
            _mm_store_ps(c + j, _mm_add_ps(_mm_load_ps(phase + j), _mm_mul_ps(fraction, _mm_load_ps(phase + kTaps + j))));
        const float* x = data + static_cast<std::size_t>(positions[n].frame - kHistory) * stride;
        std::uint32_t g = 0;
        for (; g + 8 <= stride; g += 8) PassSse2<2>(c, x + g, stride, out, g, channels);
        if (g < stride) PassSse2<1>(c, x + g, stride, out, g, channels);
    }
}

// ---- AVX2: passes for two groups of eight channels, or for the eight and four (or either) left ----

#define QUILLON_AVX2 __attribute__((target("avx2")))

template <std::uint32_t wide, std::uint32_t narrow>
QUILLON_AVX2 inline void PassAvx2(const float* c, const float* x, std::uint32_t stride, float* out,
                                  std::uint32_t g, std::uint32_t channels) {
    __m256 s[wide > 0 ? wide : 1][4];
    __m128 t[narrow > 0 ? narrow : 1][4];
    const float* tail = x + 8 * wide;
#pragma GCC unroll 4
    for (std::uint32_t r = 0; r < 4; ++r) {
        const __m256 k = _mm256_broadcast_ss(c + r);
#pragma GCC unroll 2
        for (std::uint32_t v = 0; v < wide; ++v) s[v][r] = _mm256_mul_ps(k, _mm256_loadu_ps(x + r * stride + 8 * v));
        if (narrow) t[0][r] = _mm_mul_ps(_mm256_castps256_ps128(k), _mm_loadu_ps(tail + r * stride));
    }
    for (std::uint32_t j = 4; j < kTaps; j += 4) {
        const std::size_t row = j * stride;
    #pragma GCC unroll 4
    for (std::uint32_t r = 0; r < 4; ++r) {
            const __m256 k = _mm256_broadcast_ss(c + j + r);
#pragma GCC unroll 2
            for (std::uint32_t v = 0; v < wide; ++v)
                s[v][r] = _mm256_add_ps(s[v][r], _mm256_mul_ps(k, _mm256_loadu_ps(x + row + r * stride + 8 * v)));
            if (narrow)
                t[0][r] = _mm_add_ps(t[0][r], _mm_mul_ps(_mm256_castps256_ps128(k), _mm_loadu_ps(tail + row + r * stride)));
        }
    }
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < wide; ++v) {
        const __m256 sum = _mm256_add_ps(_mm256_add_ps(s[v][0], s[v][1]), _mm256_add_ps(s[v][2], s[v][3]));
        const std::uint32_t at = g + 8 * v;
        if (at + 8 <= channels) {
            _mm256_storeu_ps(out + at, sum);
        } else {
            alignas(32) float lanes[8];
            _mm256_store_ps(lanes, sum);
            StoreTail<8>(out, lanes, at, channels);
        }
    }
    if (narrow) {
        const __m128 sum = _mm_add_ps(_mm_add_ps(t[0][0], t[0][1]), _mm_add_ps(t[0][2], t[0][3]));
        const std::uint32_t at = g + 8 * wide;
        if (at + 4 <= channels) {
            _mm_storeu_ps(out + at, sum);
        } else {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, sum);
            StoreTail<4>(out, lanes, at, channels);
        }
    }
}

QUILLON_AVX2 void FramesAvx2(const Position* positions, std::uint32_t count, const float* table,
                             const float* data, std::uint32_t stride, std::uint32_t channels, float* out) {
    alignas(32) float c[kTaps];
    for (std::uint32_t n = 0; n < count; ++n, out += channels) {
        const float* phase = table + positions[n].phase * 2 * kTaps;
        const __m256 fraction = _mm256_set1_ps(positions[n].fraction);
        for (std::uint32_t j = 0; j < kTaps; j += 8) {
            const __m256 v = _mm256_add_ps(_mm256_load_ps(phase + j),
                                           _mm256_mul_ps(fraction, _mm256_load_ps(phase + kTaps + j)));
            _mm256_store_ps(c + j, v);
        }
        const float* x = data + static_cast<std::size_t>(positions[n].frame - kHistory) * stride;
        std::uint32_t g = 0;
        for (; g + 16 <= stride; g += 16) PassAvx2<2, 0>(c, x + g, stride, out, g, channels);
        switch (stride - g) {
            case 12: PassAvx2<1, 1>(c, x + g, stride, out, g, channels); break;
            case 8: PassAvx2<1, 0>(c, x + g, stride, out, g, channels); break;
            case 4: PassAvx2<0, 1>(c, x + g, stride, out, g, channels); break;
            default: break;
        }
    }
}

#undef QUILLON_AVX2

}  // namespace

CFrameResampler::CFrameResampler(std::uint32_t capacityFrames)
    : m_pTable(Table()),
      m_nCapacity(std::clamp(capacityFrames, kTaps, kMaxCapacity)),
      m_nStorageFrames(kHistory + 2 * m_nCapacity) {
    const std::size_t floats = static_cast<std::size_t>(m_nStorageFrames) * kMaxChannels;
    m_pStorage.reset(new float[floats + 16]());
    const auto address = reinterpret_cast<std::uintptr_t>(m_pStorage.get());
    m_pData = m_pStorage.get() + ((64 - address % 64) % 64) / sizeof(float);
    m_nRead = m_nEnd = kHistory;
}

void CFrameResampler::Reset(std::uint16_t channels) {
    const bool valid = channels >= 1 && channels <= kMaxChannels;
    m_nChannels = valid ? channels : 0;
    m_nStride = valid ? static_cast<std::uint16_t>((channels + 3u) & ~3u) : 0;
    std::memset(m_pData, 0, static_cast<std::size_t>(m_nStorageFrames) * kMaxChannels * sizeof(float));
    m_nRead = m_nEnd = kHistory;
    m_fraction = 0;
}

std::uint32_t CFrameResampler::Push(const float* frames, std::uint32_t count) {
    if (m_nChannels == 0 || frames == nullptr) return 0;
    const std::uint32_t queued = m_nEnd - m_nRead;
    const std::uint32_t fitted = std::min(count, m_nCapacity - queued);
    if (fitted == 0) return 0;
    if (m_nEnd + fitted > m_nStorageFrames) {
        // Move the history and the queue to the front; there are then at least m_nCapacity frames free.
        const std::uint32_t first = m_nRead - kHistory;
        std::memmove(m_pData, Frame(first), static_cast<std::size_t>(m_nEnd - first) * m_nStride * sizeof(float));
        m_nRead -= first;
        m_nEnd -= first;
    }
    if (m_nStride == m_nChannels) {
        std::memcpy(Frame(m_nEnd), frames, static_cast<std::size_t>(fitted) * m_nChannels * sizeof(float));
    } else {
        // The padding channels of every stored frame stay zero (cleared by Reset, moved with the frame).
        for (std::uint32_t n = 0; n < fitted; ++n)
            std::memcpy(Frame(m_nEnd + n), frames + static_cast<std::size_t>(n) * m_nChannels,
                        m_nChannels * sizeof(float));
    }
    m_nEnd += fitted;
    return fitted;
}

std::uint32_t CFrameResampler::Pull(float* out, std::uint32_t count, double step) {
    if (m_nChannels == 0 || out == nullptr || !(step >= kMinStep && step <= kMaxStep)) return 0;
    const bool avx2 = SampleConversion::UsingAvx2();
    Position positions[kChunk];
    std::uint32_t written = 0;
    while (written < count) {
        // Frame n of the chunk lies n steps after the read position: worked out from it rather than
        // step by step, so the frames' positions do not wait on one another (and one rounding error
        // per chunk, not per frame). Frame i needs i + kHalf pushed; a step is at most 2 <= kHalf
        // frames, so the read position never passes the end of the queue.
        const std::uint32_t want = std::min(count - written, kChunk);
        std::uint32_t n = 0;
        for (; n < want; ++n) {
            const double position = m_fraction + n * step;
            const auto whole = static_cast<std::uint32_t>(position);
            if (m_nRead + whole + kHalf >= m_nEnd) break;
            const double phase = (position - whole) * kPhases;  // exact: kPhases is a power of two
            const auto below = static_cast<std::uint32_t>(phase);
            positions[n] = {m_nRead + whole, below, static_cast<float>(phase - below)};
        }
        if (n == 0) break;
        const double end = m_fraction + n * step;
        const auto whole = static_cast<std::uint32_t>(end);
        m_nRead += whole;
        m_fraction = end - whole;
        float* const target = out + static_cast<std::size_t>(written) * m_nChannels;
        if (avx2)
            FramesAvx2(positions, n, m_pTable, m_pData, m_nStride, m_nChannels, target);
        else
            FramesSse2(positions, n, m_pTable, m_pData, m_nStride, m_nChannels, target);
        written += n;
        if (n < want) break;
    }
    return written;
}

double CFrameResampler::Buffered() const { return static_cast<double>(m_nEnd - m_nRead) - m_fraction; }

std::uint32_t CFrameResampler::Lookahead() { return kHalf; }

double CFrameResampler::Delay() { return kHalf; }
