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
// multiply, added into one of two partial sums (even and odd taps, each from zero) added at the end. The
// AVX2 form (eight channels per instruction, four at the end of a frame) and the SSE2 form (four) do
// the same operations on every channel in the same order, so they give the same results, bit for bit.
// No fused multiply-add: it would round differently from the SSE2 form.

namespace {

constexpr std::uint32_t kTaps = CFrameResampler::kTaps;
constexpr std::uint32_t kHalf = kTaps / 2;
constexpr std::uint32_t kPhases = CFrameResampler::kPhases;
constexpr std::uint32_t kHistory = kHalf - 1;  // frames the filter reads before the read position's frame
constexpr double kCutoff = 0.5;                // cycles per input frame: half the rate
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
        double rows[2][kTaps];  // phase p and phase p + 1, alternately
        const double edge = BesselI0(kBeta);
        auto phase = [edge](std::uint32_t p, double* row) {
            double sum = 0;
            for (std::uint32_t j = 0; j < kTaps; ++j) {
                const double x = static_cast<double>(j) - (kHalf - 1) - static_cast<double>(p) / kPhases;
                const double r = x / kHalf;
                const double window = r * r >= 1 ? 0 : (BesselI0(kBeta * std::sqrt(1 - r * r)) - 1) / (edge - 1);
                const double a = 2 * std::numbers::pi * kCutoff * x;
                row[j] = (x == 0 ? 1 : std::sin(a) / a) * window;
                sum += row[j];
            }
            for (std::uint32_t j = 0; j < kTaps; ++j) row[j] /= sum;
        };
        phase(0, rows[0]);
        for (std::uint32_t p = 0; p < kPhases; ++p) {
            const double* here = rows[p % 2];
            double* next = rows[(p + 1) % 2];
            phase(p + 1, next);
            for (std::uint32_t j = 0; j < kTaps; ++j) {
                values[p * 2 * kTaps + j] = static_cast<float>(here[j]);
                values[p * 2 * kTaps + kTaps + j] = static_cast<float>(next[j] - here[j]);
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

// Stores the first `count` (0 to 4) lanes of `v` at `out`, which need not be aligned beyond a float.
inline void StorePart4(float* out, __m128 v, std::uint32_t count) {
    switch (count) {
        case 4: _mm_storeu_ps(out, v); break;
        case 3:
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(v));
            _mm_store_ss(out + 2, _mm_movehl_ps(v, v));
            break;
        case 2: _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(v)); break;
        case 1: _mm_store_ss(out, v); break;
        default: break;
    }
}

// Stores a group of four channels at channel `at` of an output frame of `channels`: those that exist.
inline void Store4(float* out, __m128 v, std::uint32_t at, std::uint32_t channels) {
    StorePart4(out + at, v, std::min(channels - at, 4u));
}

// Copies a frame's channels into its stored frame, whose padding stays zero.
inline void CopyFrame(float* to, const float* from, std::uint32_t channels) {
    std::uint32_t c = 0;
    for (; c + 4 <= channels; c += 4) _mm_storeu_ps(to + c, _mm_loadu_ps(from + c));
    switch (channels - c) {
        case 3: to[c + 2] = from[c + 2]; [[fallthrough]];
        case 2: to[c + 1] = from[c + 1]; [[fallthrough]];
        case 1: to[c] = from[c]; break;
        default: break;
    }
}

// Frames go through the kernels two at a time where they can: the second frame's window starts d = 0,
// 1 or 2 frames after the first's, so the two read the same rows, and each row is loaded once for both.
// Each frame's sums are the same either way (partial sum by tap parity, taps in order, from zero), so a
// frame's result does not depend on whether it had a partner.
//
// A pass covers some groups of channels of one frame or of a pair. Row k (from the first frame's
// window start) is tap k of the first frame and tap k - d of the second; `pa` and `pb` are the taps'
// parities, which choose their partial sums.

// ---- SSE2: passes for two groups of four channels (or the last one) ----

template <std::uint32_t groups>
struct Sums4 {
    __m128 a[groups][2];
    __m128 b[groups][2];
};

template <std::uint32_t groups, std::uint32_t pa, std::uint32_t pb, bool useA, bool useB>
inline void Row4(Sums4<groups>& s, const float* row, float ca, float cb) {
    const __m128 ka = _mm_set1_ps(ca);
    const __m128 kb = _mm_set1_ps(cb);
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < groups; ++v) {
        const __m128 x = _mm_loadu_ps(row + 4 * v);
        if constexpr (useA) s.a[v][pa] = _mm_add_ps(s.a[v][pa], _mm_mul_ps(ka, x));
        if constexpr (useB) s.b[v][pb] = _mm_add_ps(s.b[v][pb], _mm_mul_ps(kb, x));
    }
}

template <std::uint32_t groups, std::uint32_t d, bool pair>
inline void PassSse2(const float* ca, const float* cb, const float* x, std::uint32_t stride, float* outA,
                     float* outB, std::uint32_t g, std::uint32_t channels) {
    Sums4<groups> s;
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < groups; ++v) s.a[v][0] = s.a[v][1] = s.b[v][0] = s.b[v][1] = _mm_setzero_ps();
    if constexpr (d >= 1) Row4<groups, 0, 0, true, false>(s, x, ca[0], 0);
    if constexpr (d >= 2) Row4<groups, 1, 0, true, false>(s, x + stride, ca[1], 0);
    std::uint32_t k = d;
    for (; k + 1 < kTaps; k += 2) {
        Row4<groups, d % 2, 0, true, pair>(s, x + k * stride, ca[k], cb[k - d]);
        Row4<groups, (d + 1) % 2, 1, true, pair>(s, x + (k + 1) * stride, ca[k + 1], cb[k + 1 - d]);
    }
    if constexpr (d % 2 == 1) Row4<groups, 1, 0, true, pair>(s, x + k * stride, ca[k], cb[k - d]);
    if constexpr (pair && d >= 1) Row4<groups, 0, (kTaps - d) % 2, false, true>(s, x + kTaps * stride, 0, cb[kTaps - d]);
    if constexpr (pair && d >= 2) Row4<groups, 0, 1, false, true>(s, x + (kTaps + 1) * stride, 0, cb[kTaps - 1]);
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < groups; ++v) {
        const std::uint32_t at = g + 4 * v;
        Store4(outA, _mm_add_ps(s.a[v][0], s.a[v][1]), at, channels);
        if constexpr (pair) Store4(outB, _mm_add_ps(s.b[v][0], s.b[v][1]), at, channels);
    }
}

template <std::uint32_t d, bool pair>
void FrameSse2(const float* ca, const float* cb, const float* x, std::uint32_t stride, float* outA, float* outB,
               std::uint32_t channels) {
    std::uint32_t g = 0;
    for (; g + 8 <= stride; g += 8) PassSse2<2, d, pair>(ca, cb, x + g, stride, outA, outB, g, channels);
    if (g < stride) PassSse2<1, d, pair>(ca, cb, x + g, stride, outA, outB, g, channels);
}

inline void CoefficientsSse2(const float* table, const Position& position, float* c) {
    const float* phase = table + position.phase * 2 * kTaps;
    const __m128 fraction = _mm_set1_ps(position.fraction);
    for (std::uint32_t j = 0; j < kTaps; j += 4)
        _mm_store_ps(c + j, _mm_add_ps(_mm_load_ps(phase + j), _mm_mul_ps(fraction, _mm_load_ps(phase + kTaps + j))));
}

void FramesSse2(const Position* positions, std::uint32_t count, const float* table, const float* data,
                std::uint32_t stride, std::uint32_t channels, float* out) {
    alignas(16) float c[2][kTaps];
    std::uint32_t n = 0;
    for (; n + 2 <= count; n += 2, out += 2 * channels) {
        CoefficientsSse2(table, positions[n], c[0]);
        CoefficientsSse2(table, positions[n + 1], c[1]);
        const float* x = data + static_cast<std::size_t>(positions[n].frame - kHistory) * stride;
        float* const second = out + channels;
        switch (positions[n + 1].frame - positions[n].frame) {
            case 0: FrameSse2<0, true>(c[0], c[1], x, stride, out, second, channels); break;
            case 1: FrameSse2<1, true>(c[0], c[1], x, stride, out, second, channels); break;
            case 2: FrameSse2<2, true>(c[0], c[1], x, stride, out, second, channels); break;
            default:  // a step of 2 rounded up: one at a time
                FrameSse2<0, false>(c[0], c[0], x, stride, out, out, channels);
                FrameSse2<0, false>(c[1], c[1], data + static_cast<std::size_t>(positions[n + 1].frame - kHistory) * stride,
                                    stride, second, second, channels);
        }
    }
    if (n < count) {
        CoefficientsSse2(table, positions[n], c[0]);
        const float* x = data + static_cast<std::size_t>(positions[n].frame - kHistory) * stride;
        FrameSse2<0, false>(c[0], c[0], x, stride, out, out, channels);
    }
}

// ---- AVX2: passes for two groups of eight channels, or for the eight and four (or either) left ----

#define QUILLON_AVX2 __attribute__((target("avx2")))

template <std::uint32_t wide>
struct Sums8 {
    __m256 a[wide > 0 ? wide : 1][2];
    __m256 b[wide > 0 ? wide : 1][2];
    __m128 ta[2];
    __m128 tb[2];
};

template <std::uint32_t wide, bool narrow, std::uint32_t pa, std::uint32_t pb, bool useA, bool useB>
QUILLON_AVX2 inline void Row8(Sums8<wide>& s, const float* row, const float* ca, const float* cb) {
    const __m256 ka = _mm256_broadcast_ss(ca);
    const __m256 kb = _mm256_broadcast_ss(cb);
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < wide; ++v) {
        const __m256 x = _mm256_loadu_ps(row + 8 * v);
        if constexpr (useA) s.a[v][pa] = _mm256_add_ps(s.a[v][pa], _mm256_mul_ps(ka, x));
        if constexpr (useB) s.b[v][pb] = _mm256_add_ps(s.b[v][pb], _mm256_mul_ps(kb, x));
    }
    if constexpr (narrow) {
        const __m128 x = _mm_loadu_ps(row + 8 * wide);
        if constexpr (useA) s.ta[pa] = _mm_add_ps(s.ta[pa], _mm_mul_ps(_mm256_castps256_ps128(ka), x));
        if constexpr (useB) s.tb[pb] = _mm_add_ps(s.tb[pb], _mm_mul_ps(_mm256_castps256_ps128(kb), x));
    }
}

// Stores a group of eight channels at channel `at` of an output frame of `channels`: those that exist.
QUILLON_AVX2 inline void Store8(float* out, __m256 v, std::uint32_t at, std::uint32_t channels) {
    if (at + 8 <= channels) {
        _mm256_storeu_ps(out + at, v);
    } else if (at + 4 <= channels) {
        _mm_storeu_ps(out + at, _mm256_castps256_ps128(v));
        StorePart4(out + at + 4, _mm256_extractf128_ps(v, 1), channels - at - 4);
    } else {
        StorePart4(out + at, _mm256_castps256_ps128(v), channels - at);
    }
}

template <std::uint32_t wide, bool narrow, std::uint32_t d, bool pair>
QUILLON_AVX2 inline void PassAvx2(const float* ca, const float* cb, const float* x, std::uint32_t stride,
                                  float* outA, float* outB, std::uint32_t g, std::uint32_t channels) {
    Sums8<wide> s;
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < wide; ++v) s.a[v][0] = s.a[v][1] = s.b[v][0] = s.b[v][1] = _mm256_setzero_ps();
    s.ta[0] = s.ta[1] = s.tb[0] = s.tb[1] = _mm_setzero_ps();
    if constexpr (d >= 1) Row8<wide, narrow, 0, 0, true, false>(s, x, ca, ca);
    if constexpr (d >= 2) Row8<wide, narrow, 1, 0, true, false>(s, x + stride, ca + 1, ca);
    std::uint32_t k = d;
    for (; k + 1 < kTaps; k += 2) {
        Row8<wide, narrow, d % 2, 0, true, pair>(s, x + k * stride, ca + k, cb + k - d);
        Row8<wide, narrow, (d + 1) % 2, 1, true, pair>(s, x + (k + 1) * stride, ca + k + 1, cb + k + 1 - d);
    }
    if constexpr (d % 2 == 1) Row8<wide, narrow, 1, 0, true, pair>(s, x + k * stride, ca + k, cb + k - d);
    if constexpr (pair && d >= 1)
        Row8<wide, narrow, 0, (kTaps - d) % 2, false, true>(s, x + kTaps * stride, cb, cb + kTaps - d);
    if constexpr (pair && d >= 2) Row8<wide, narrow, 0, 1, false, true>(s, x + (kTaps + 1) * stride, cb, cb + kTaps - 1);
#pragma GCC unroll 2
    for (std::uint32_t v = 0; v < wide; ++v) {
        Store8(outA, _mm256_add_ps(s.a[v][0], s.a[v][1]), g + 8 * v, channels);
        if constexpr (pair) Store8(outB, _mm256_add_ps(s.b[v][0], s.b[v][1]), g + 8 * v, channels);
    }
    if constexpr (narrow) {
        Store4(outA, _mm_add_ps(s.ta[0], s.ta[1]), g + 8 * wide, channels);
        if constexpr (pair) Store4(outB, _mm_add_ps(s.tb[0], s.tb[1]), g + 8 * wide, channels);
    }
}

template <std::uint32_t d, bool pair>
QUILLON_AVX2 void FrameAvx2(const float* ca, const float* cb, const float* x, std::uint32_t stride, float* outA,
                            float* outB, std::uint32_t channels) {
    std::uint32_t g = 0;
    for (; g + 16 <= stride; g += 16) PassAvx2<2, false, d, pair>(ca, cb, x + g, stride, outA, outB, g, channels);
    switch (stride - g) {
        case 12: PassAvx2<1, true, d, pair>(ca, cb, x + g, stride, outA, outB, g, channels); break;
        case 8: PassAvx2<1, false, d, pair>(ca, cb, x + g, stride, outA, outB, g, channels); break;
        case 4: PassAvx2<0, true, d, pair>(ca, cb, x + g, stride, outA, outB, g, channels); break;
        default: break;
    }
}

QUILLON_AVX2 inline void CoefficientsAvx2(const float* table, const Position& position, float* c) {
    const float* phase = table + position.phase * 2 * kTaps;
    const __m256 fraction = _mm256_set1_ps(position.fraction);
    for (std::uint32_t j = 0; j < kTaps; j += 8)
        _mm256_store_ps(c + j, _mm256_add_ps(_mm256_load_ps(phase + j),
                                             _mm256_mul_ps(fraction, _mm256_load_ps(phase + kTaps + j))));
}

QUILLON_AVX2 void FramesAvx2(const Position* positions, std::uint32_t count, const float* table,
                             const float* data, std::uint32_t stride, std::uint32_t channels, float* out) {
    alignas(32) float c[2][kTaps];
    std::uint32_t n = 0;
    for (; n + 2 <= count; n += 2, out += 2 * channels) {
        CoefficientsAvx2(table, positions[n], c[0]);
        CoefficientsAvx2(table, positions[n + 1], c[1]);
        const float* x = data + static_cast<std::size_t>(positions[n].frame - kHistory) * stride;
        float* const second = out + channels;
        switch (positions[n + 1].frame - positions[n].frame) {
            case 0: FrameAvx2<0, true>(c[0], c[1], x, stride, out, second, channels); break;
            case 1: FrameAvx2<1, true>(c[0], c[1], x, stride, out, second, channels); break;
            case 2: FrameAvx2<2, true>(c[0], c[1], x, stride, out, second, channels); break;
            default:  // a step of 2 rounded up: one at a time
                FrameAvx2<0, false>(c[0], c[0], x, stride, out, out, channels);
                FrameAvx2<0, false>(c[1], c[1], data + static_cast<std::size_t>(positions[n + 1].frame - kHistory) * stride,
                                    stride, second, second, channels);
        }
    }
    if (n < count) {
        CoefficientsAvx2(table, positions[n], c[0]);
        const float* x = data + static_cast<std::size_t>(positions[n].frame - kHistory) * stride;
        FrameAvx2<0, false>(c[0], c[0], x, stride, out, out, channels);
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
    return frames != nullptr ? Append(frames, count) : 0;
}

std::uint32_t CFrameResampler::PushSilence(std::uint32_t count) { return Append(nullptr, count); }

std::uint32_t CFrameResampler::Discard(std::uint32_t count) {
    const std::uint32_t queued = m_nEnd - m_nRead;
    const std::uint32_t dropped = queued > kHalf ? std::min(count, queued - kHalf) : 0;
    m_nRead += dropped;
    return dropped;
}

std::uint32_t CFrameResampler::Append(const float* frames, std::uint32_t count) {
    if (m_nChannels == 0) return 0;
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
    if (frames == nullptr) {
        std::memset(Frame(m_nEnd), 0, static_cast<std::size_t>(fitted) * m_nStride * sizeof(float));
    } else if (m_nStride == m_nChannels) {
        std::memcpy(Frame(m_nEnd), frames, static_cast<std::size_t>(fitted) * m_nChannels * sizeof(float));
    } else {
        // The padding channels of every stored frame stay zero (cleared by Reset, moved with the frame).
        for (std::uint32_t n = 0; n < fitted; ++n)
            CopyFrame(Frame(m_nEnd + n), frames + static_cast<std::size_t>(n) * m_nChannels, m_nChannels);
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
