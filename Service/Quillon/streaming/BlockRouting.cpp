#include "Service/Quillon/streaming/BlockRouting.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "Service/Quillon/streaming/SampleConversion.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"

namespace {

constexpr int kLastCaptureStream = kCaptureStreams - 1;

// The copy kernels move floats without looking at them (SSE2 loads, shuffles and stores, which every
// x64 processor has), so a routed sample keeps its exact bits. Console frames are `stride` samples
// apart; no pointer is assumed aligned beyond a float's 4 bytes, hence the unaligned loads and stores
// and the 64-bit moves through _mm_loadl_epi64 / _mm_storel_epi64. Each kernel reads and writes only the
// samples its loops name: channels `first` .. `first + width - 1` of `frames` frames, and `frames` x
// width samples of each stream.

inline __m128i Load64(const float* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Load128(const float* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store64(float* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline void Store128(float* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// One stereo stream: two frames' pairs joined into each 128-bit store.
void CopyPairs(const float* in, std::size_t stride, std::uint32_t frames, float* out) {
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, in += 4 * stride, out += 8) {
        Store128(out, _mm_unpacklo_epi64(Load64(in), Load64(in + stride)));
        Store128(out + 4, _mm_unpacklo_epi64(Load64(in + 2 * stride), Load64(in + 3 * stride)));
    }
    for (; f < frames; ++f, in += stride, out += 2) Store64(out, Load64(in));
}

// Two stereo streams on adjacent channels: one 128-bit load per frame holds both pairs, and two frames'
// loads give each stream a store.
void CopyPairs2(const float* in, std::size_t stride, std::uint32_t frames, float* out0, float* out1) {
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, in += 4 * stride, out0 += 8, out1 += 8) {
        const __m128i a = Load128(in);
        const __m128i b = Load128(in + stride);
        const __m128i c = Load128(in + 2 * stride);
        const __m128i d = Load128(in + 3 * stride);
        Store128(out0, _mm_unpacklo_epi64(a, b));
        Store128(out1, _mm_unpackhi_epi64(a, b));
        Store128(out0 + 4, _mm_unpacklo_epi64(c, d));
        Store128(out1 + 4, _mm_unpackhi_epi64(c, d));
    }
    for (; f < frames; ++f, in += stride, out0 += 2, out1 += 2) {
        Store64(out0, Load64(in));
        Store64(out1, Load64(in + 2));
    }
}

// One mono stream: four frames' samples gathered into each 128-bit store.
void CopyMono(const float* in, std::size_t stride, std::uint32_t frames, float* out) {
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, in += 4 * stride, out += 4)
        _mm_storeu_ps(out, _mm_setr_ps(in[0], in[stride], in[2 * stride], in[3 * stride]));
    for (; f < frames; ++f, in += stride) *out++ = in[0];
}

// Two mono streams on adjacent channels: four frames' pairs, split by two shuffles.
void CopyMono2(const float* in, std::size_t stride, std::uint32_t frames, float* out0, float* out1) {
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, in += 4 * stride, out0 += 4, out1 += 4) {
        const __m128 x01 = _mm_castsi128_ps(_mm_unpacklo_epi64(Load64(in), Load64(in + stride)));
        const __m128 x23 = _mm_castsi128_ps(_mm_unpacklo_epi64(Load64(in + 2 * stride), Load64(in + 3 * stride)));
        _mm_storeu_ps(out0, _mm_shuffle_ps(x01, x23, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(out1, _mm_shuffle_ps(x01, x23, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    for (; f < frames; ++f, in += stride) {
        *out0++ = in[0];
        *out1++ = in[1];
    }
}

// Four mono streams on adjacent channels: a 4 x 4 transpose of four frames' channels.
void CopyMono4(const float* in, std::size_t stride, std::uint32_t frames, float* const out[4]) {
    float* o0 = out[0];
    float* o1 = out[1];
    float* o2 = out[2];
    float* o3 = out[3];
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, in += 4 * stride, o0 += 4, o1 += 4, o2 += 4, o3 += 4) {
        __m128 r0 = _mm_loadu_ps(in), r1 = _mm_loadu_ps(in + stride);
        __m128 r2 = _mm_loadu_ps(in + 2 * stride), r3 = _mm_loadu_ps(in + 3 * stride);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        _mm_storeu_ps(o0, r0);
        _mm_storeu_ps(o1, r1);
        _mm_storeu_ps(o2, r2);
        _mm_storeu_ps(o3, r3);
    }
    for (; f < frames; ++f, in += stride) {
        *o0++ = in[0];
        *o1++ = in[1];
        *o2++ = in[2];
        *o3++ = in[3];
    }
}

// A stereo block of `frames` frames into two adjacent channels of the console frames: each 128-bit load
// holds two frames' pairs, stored as two 64-bit halves.
void InterleavePair(const float* pair, std::uint32_t frames, float* out, std::size_t stride) {
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, out += 4 * stride, pair += 8) {
        const __m128i a = Load128(pair);
        const __m128i b = Load128(pair + 4);
        Store64(out, a);
        Store64(out + stride, _mm_unpackhi_epi64(a, a));
        Store64(out + 2 * stride, b);
        Store64(out + 3 * stride, _mm_unpackhi_epi64(b, b));
    }
    for (; f < frames; ++f, out += stride, pair += 2) Store64(out, Load64(pair));
}

void SilencePair(std::uint32_t from, std::uint32_t frames, float* out, std::size_t stride) {
    for (std::uint32_t f = from; f < frames; ++f) Store64(out + f * stride, _mm_setzero_si128());
}

constexpr std::uint16_t kTenChannels = 10;

// Five stereo blocks into a ten-channel frame, pair p in channels 2p and 2p + 1: two frames are twenty
// samples, five 128-bit stores built from the five pairs' 128-bit loads.
void InterleaveTen(const float* const pairs[5], std::uint32_t frames, float* out) {
    const float* p0 = pairs[0];
    const float* p1 = pairs[1];
    const float* p2 = pairs[2];
    const float* p3 = pairs[3];
    const float* p4 = pairs[4];
    std::uint32_t f = 0;
    for (; f + 2 <= frames; f += 2, out += 20) {
        const std::size_t k = 2 * static_cast<std::size_t>(f);
        const __m128i a = Load128(p0 + k);
        const __m128i b = Load128(p1 + k);
        const __m128i c = Load128(p2 + k);
        const __m128i d = Load128(p3 + k);
        const __m128i e = Load128(p4 + k);
        Store128(out, _mm_unpacklo_epi64(a, b));
        Store128(out + 4, _mm_unpacklo_epi64(c, d));
        Store128(out + 8, _mm_castpd_si128(_mm_move_sd(_mm_castsi128_pd(a), _mm_castsi128_pd(e))));
        Store128(out + 12, _mm_unpackhi_epi64(b, c));
        Store128(out + 16, _mm_unpackhi_epi64(d, e));
    }
    if (f < frames) {
        const std::size_t k = 2 * static_cast<std::size_t>(f);
        for (int p = 0; p < 5; ++p) Store64(out + 2 * p, Load64(pairs[p] + k));
    }
}

// Capture streams of one width on adjacent console channels, each taking `frames` frames: stereo streams
// two at most, mono streams four at most, so that they share their loads.
struct CaptureGroup {
    float* out[4];
    std::uint32_t first;
    std::uint32_t width;
    std::uint32_t frames;
    std::uint32_t streams;

    bool Takes(std::uint32_t w, std::uint32_t channel, std::uint32_t n) const {
        return w == width && n == frames && channel == first + streams * width && streams < (width == 2 ? 2u : 4u);
    }
};

void CopyGroup(const float* block, std::size_t stride, const CaptureGroup& group) {
    const float* in = block + group.first;
    if (group.width == 2) {
        if (group.streams == 2)
            CopyPairs2(in, stride, group.frames, group.out[0], group.out[1]);
        else
            CopyPairs(in, stride, group.frames, group.out[0]);
        return;
    }
    switch (group.streams) {
        case 4: CopyMono4(in, stride, group.frames, group.out); break;
        case 3:
            CopyMono2(in, stride, group.frames, group.out[0], group.out[1]);
            CopyMono(in + 2, stride, group.frames, group.out[2]);
            break;
        case 2: CopyMono2(in, stride, group.frames, group.out[0], group.out[1]); break;
        default: CopyMono(in, stride, group.frames, group.out[0]); break;
    }
}

#define QUILLON_AVX2 __attribute__((target("avx2")))

// AVX2: four frames a step. Each pair's 256-bit load holds its four frames; 64-bit unpacks and lane
// permutes turn pairs 0-3 into each frame's first eight channels (one store), and pair 4's four frames
// go to channels 8-9 of each frame with 64-bit stores. The frames left over go through the SSE2 form.
QUILLON_AVX2 void InterleaveTenAvx2(const float* const pairs[5], std::uint32_t frames, float* out) {
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, out += 40) {
        const std::size_t k = 2 * static_cast<std::size_t>(f);
        const __m256d a = _mm256_loadu_pd(reinterpret_cast<const double*>(pairs[0] + k));
        const __m256d b = _mm256_loadu_pd(reinterpret_cast<const double*>(pairs[1] + k));
        const __m256d c = _mm256_loadu_pd(reinterpret_cast<const double*>(pairs[2] + k));
        const __m256d d = _mm256_loadu_pd(reinterpret_cast<const double*>(pairs[3] + k));
        const __m256d e = _mm256_loadu_pd(reinterpret_cast<const double*>(pairs[4] + k));
        const __m256d ab02 = _mm256_unpacklo_pd(a, b), ab13 = _mm256_unpackhi_pd(a, b);  // frames 0|2, 1|3
        const __m256d cd02 = _mm256_unpacklo_pd(c, d), cd13 = _mm256_unpackhi_pd(c, d);
        _mm256_storeu_pd(reinterpret_cast<double*>(out), _mm256_permute2f128_pd(ab02, cd02, 0x20));
        _mm256_storeu_pd(reinterpret_cast<double*>(out + 10), _mm256_permute2f128_pd(ab13, cd13, 0x20));
        _mm256_storeu_pd(reinterpret_cast<double*>(out + 20), _mm256_permute2f128_pd(ab02, cd02, 0x31));
        _mm256_storeu_pd(reinterpret_cast<double*>(out + 30), _mm256_permute2f128_pd(ab13, cd13, 0x31));
        // 64-bit stores through the unaligned integer form: a frame's channels 8-9 lie 4-byte aligned.
        const __m128i e01 = _mm_castpd_si128(_mm256_castpd256_pd128(e));
        const __m128i e23 = _mm_castpd_si128(_mm256_extractf128_pd(e, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), e01);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 18), _mm_unpackhi_epi64(e01, e01));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 28), e23);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 38), _mm_unpackhi_epi64(e23, e23));
    }
    if (f < frames) {
        const std::size_t k = 2 * static_cast<std::size_t>(f);
        const float* const rest[5] = {pairs[0] + k, pairs[1] + k, pairs[2] + k, pairs[3] + k, pairs[4] + k};
        InterleaveTen(rest, frames - f, out);
    }
}

// A column's four frames (f0 to f3, each channel pair in order) to its streams from frame f on: a stereo
// stream's eight samples in one store, or each mono stream's four after one permute.
template <CaptureColumn::Kind Kind>
QUILLON_AVX2 inline void StoreColumn(float* const out[2], __m256d frames4, std::uint32_t f) {
    if constexpr (Kind == CaptureColumn::kStereo) {
        _mm256_storeu_pd(reinterpret_cast<double*>(out[0] + 2 * f), frames4);
    } else if constexpr (Kind != CaptureColumn::kNone) {
        const __m256 split =
            _mm256_permutevar8x32_ps(_mm256_castpd_ps(frames4), _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
        if constexpr (Kind != CaptureColumn::kMonoOdd) _mm_storeu_ps(out[0] + f, _mm256_castps256_ps128(split));
        if constexpr (Kind != CaptureColumn::kMonoEven) _mm_storeu_ps(out[1] + f, _mm256_extractf128_ps(split, 1));
    }
}

// Two adjacent columns (four channels from `in`) over `frames` frames, a multiple of four, stored from
// frame `from` of each stream on. Each 128-bit load holds one frame's four channels; the loads of frames
// 0 and 2 joined into 256 bits, and those of frames 1 and 3, give each column's four frames in order when
// unpacked by 64 bits. The kinds are template arguments, so that the loop has no branch but its own.
template <CaptureColumn::Kind Even, CaptureColumn::Kind Odd>
QUILLON_AVX2 void CopyColumnPair(const float* in, std::size_t stride, std::uint32_t from, std::uint32_t frames,
                                 const CaptureColumn* column) {
    float* const even[2] = {column[0].out[0], column[0].out[1]};  // locals: the stores cannot change them
    float* const odd[2] = {column[1].out[0], column[1].out[1]};
    for (std::uint32_t f = from; f < from + frames; f += 4, in += 4 * stride) {
        const __m256d f02 = _mm256_castps_pd(
            _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(in)), _mm_loadu_ps(in + 2 * stride), 1));
        const __m256d f13 = _mm256_castps_pd(
            _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(in + stride)), _mm_loadu_ps(in + 3 * stride), 1));
        StoreColumn<Even>(even, _mm256_unpacklo_pd(f02, f13), f);
        StoreColumn<Odd>(odd, _mm256_unpackhi_pd(f02, f13), f);
    }
}

#define QUILLON_AVX512 __attribute__((target("avx2,avx512f,avx512vl")))

// As in the conversions: GCC 12's AVX-512 intrinsics start from a self-initialised "undefined" vector,
// which its own uninitialised-value warnings report at every inlined use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// As StoreColumn, eight frames; where `frames` has fewer than eight bits set, only those frames' samples
// are written.
template <CaptureColumn::Kind Kind, bool Masked>
QUILLON_AVX512 inline void StoreColumn8(float* const out[2], __m512d frames8, std::uint32_t f, __mmask8 frames) {
    if constexpr (Kind == CaptureColumn::kStereo) {
        if constexpr (Masked)
            _mm512_mask_storeu_pd(out[0] + 2 * f, frames, frames8);
        else
            _mm512_storeu_pd(out[0] + 2 * f, frames8);
    } else if constexpr (Kind != CaptureColumn::kNone) {
        const __m512i order = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
        const __m512 split = _mm512_permutexvar_ps(order, _mm512_castpd_ps(frames8));
        const __m256 even = _mm512_castps512_ps256(split);
        const __m256 odd = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(split), 1));
        if constexpr (Masked) {
            if constexpr (Kind != CaptureColumn::kMonoOdd) _mm256_mask_storeu_ps(out[0] + f, frames, even);
            if constexpr (Kind != CaptureColumn::kMonoEven) _mm256_mask_storeu_ps(out[1] + f, frames, odd);
        } else {
            if constexpr (Kind != CaptureColumn::kMonoOdd) _mm256_storeu_ps(out[0] + f, even);
            if constexpr (Kind != CaptureColumn::kMonoEven) _mm256_storeu_ps(out[1] + f, odd);
        }
    }
}

// Four frames' 16 bytes each, frame a in the lowest lane.
QUILLON_AVX512 inline __m512d Join4x128(__m128 a, __m128 b, __m128 c, __m128 d) {
    __m512 v = _mm512_castps128_ps512(a);
    v = _mm512_insertf32x4(v, b, 1);
    v = _mm512_insertf32x4(v, c, 2);
    return _mm512_castps_pd(_mm512_insertf32x4(v, d, 3));
}

// Frame g's four floats from `in`, those of them that lie inside the block (`avail` floats from `in`) and
// none past frame `frames` - 1; the others are zero.
QUILLON_AVX512 inline __m128 LoadFrameMasked(const float* in, std::size_t stride, std::uint32_t g,
                                             std::uint32_t frames, std::size_t avail) {
    const std::size_t at = static_cast<std::size_t>(g) * stride;
    const std::size_t have = g < frames && at < avail ? std::min<std::size_t>(4, avail - at) : 0;
    return _mm_maskz_loadu_ps(static_cast<__mmask8>((1u << have) - 1), in + (have ? at : 0));
}

// As CopyColumnPair, eight frames a step and every frame of the block: the even frames' loads in one
// 512-bit vector, the odd ones' in another. The frames from `whole` on, whose 16 bytes would reach past
// the block's last sample (`avail` floats from `in`), and the last step's frames short of eight go
// through masked loads and stores: a masked-off float is neither read nor written, so it can neither
// fault nor be seen by a sanitizer.
template <CaptureColumn::Kind Even, CaptureColumn::Kind Odd>
QUILLON_AVX512 void CopyColumnPair512(const float* in, std::size_t stride, std::uint32_t frames, std::uint32_t whole,
                                      std::size_t avail, const CaptureColumn* column) {
    float* const even[2] = {column[0].out[0], column[0].out[1]};
    float* const odd[2] = {column[1].out[0], column[1].out[1]};
    std::uint32_t f = 0;
    for (const float* p = in; f + 8 <= whole; f += 8, p += 8 * stride) {
        const __m512d f0246 = Join4x128(_mm_loadu_ps(p), _mm_loadu_ps(p + 2 * stride), _mm_loadu_ps(p + 4 * stride),
                                        _mm_loadu_ps(p + 6 * stride));
        const __m512d f1357 = Join4x128(_mm_loadu_ps(p + stride), _mm_loadu_ps(p + 3 * stride),
                                        _mm_loadu_ps(p + 5 * stride), _mm_loadu_ps(p + 7 * stride));
        StoreColumn8<Even, false>(even, _mm512_unpacklo_pd(f0246, f1357), f, 0xFF);
        StoreColumn8<Odd, false>(odd, _mm512_unpackhi_pd(f0246, f1357), f, 0xFF);
    }
    for (; f < frames; f += 8) {
        __m128 x[8];
        for (std::uint32_t j = 0; j < 8; ++j)  // plain loads where they may: fewer operations
            x[j] = f + j < whole ? _mm_loadu_ps(in + (f + j) * stride) : LoadFrameMasked(in, stride, f + j, frames, avail);
        const __mmask8 present = static_cast<__mmask8>(frames - f >= 8 ? 0xFF : (1u << (frames - f)) - 1);
        const __m512d f0246 = Join4x128(x[0], x[2], x[4], x[6]);
        const __m512d f1357 = Join4x128(x[1], x[3], x[5], x[7]);
        StoreColumn8<Even, true>(even, _mm512_unpacklo_pd(f0246, f1357), f, present);
        StoreColumn8<Odd, true>(odd, _mm512_unpackhi_pd(f0246, f1357), f, present);
    }
}

using ColumnPairCopy = void (*)(const float*, std::size_t, std::uint32_t, std::uint32_t, const CaptureColumn*);
using ColumnPairCopy512 = void (*)(const float*, std::size_t, std::uint32_t, std::uint32_t, std::size_t,
                                   const CaptureColumn*);

// Every pair of kinds, indexed by the even column's kind times kKinds plus the odd one's.
template <std::size_t... K>
constexpr std::array<ColumnPairCopy, sizeof...(K)> ColumnPairCopies(std::index_sequence<K...>) {
    constexpr std::size_t n = CaptureColumn::kKinds;
    return {&CopyColumnPair<CaptureColumn::Kind(K / n), CaptureColumn::Kind(K % n)>...};
}
template <std::size_t... K>
constexpr std::array<ColumnPairCopy512, sizeof...(K)> ColumnPairCopies512(std::index_sequence<K...>) {
    constexpr std::size_t n = CaptureColumn::kKinds;
    return {&CopyColumnPair512<CaptureColumn::Kind(K / n), CaptureColumn::Kind(K % n)>...};
}
constexpr auto kKindPairs = std::make_index_sequence<CaptureColumn::kKinds * CaptureColumn::kKinds>();

// Every column pair of the plan over every frame of the block (one at least), a pass per pair.
QUILLON_AVX512 void CopyColumns512(const float* block, std::size_t stride, std::uint32_t samples,
                                   std::uint32_t frames, const CapturePlan& plan) {
    static constexpr auto kCopies = ColumnPairCopies512(kKindPairs);
    for (std::uint32_t k = 0; k < plan.count; k += 2) {
        const CaptureColumn* column = plan.columns + k;
        const std::size_t first = 2 * k;  // the pair's first channel, inside the first frame
        kCopies[column[0].kind * CaptureColumn::kKinds + column[1].kind](block + first, stride, frames,
                                                                          plan.whole[k / 2], samples - first, column);
    }
    _mm256_zeroupper();
}

// Every column pair of the plan over frames 0 to `steps` - 1 (a multiple of four), a pass per pair. A
// pair's 16-byte loads must stay inside the block: where the last frame ends before them (the pin's last
// channels), the pair's last four frames are first copied, four floats each, into a block of their own.
QUILLON_AVX2 void CopyColumns(const float* block, std::size_t stride, std::uint32_t samples, const CapturePlan& plan,
                              std::uint32_t steps) {
    static constexpr auto kCopies = ColumnPairCopies(kKindPairs);
    for (std::uint32_t k = 0; k < plan.count; k += 2) {
        const CaptureColumn* column = plan.columns + k;
        const ColumnPairCopy copy = kCopies[column[0].kind * CaptureColumn::kKinds + column[1].kind];
        const std::size_t first = 2 * k;  // the pair's first channel
        const bool cut = steps > plan.whole[k / 2];
        const std::uint32_t direct = cut ? steps - 4 : steps;
        if (direct) copy(block + first, stride, 0, direct, column);
        if (cut) {
            // The masked load reads only the floats the block has (the others are zero), and a masked-off
            // float can neither fault nor be seen by a sanitizer.
            float last[16];
            for (std::uint32_t j = 0; j < 4; ++j) {
                const std::size_t at = (direct + j) * stride + first;  // below samples: a frame's channel
                const int have = static_cast<int>(std::min<std::size_t>(4, samples - at));
                const __m128i lanes = _mm_cmpgt_epi32(_mm_set1_epi32(have), _mm_setr_epi32(0, 1, 2, 3));
                _mm_storeu_ps(last + 4 * j, _mm_maskload_ps(block + at, lanes));
            }
            copy(last, 4, direct, 4, column);
        }
    }
    _mm256_zeroupper();  // the SSE2 copies of the remaining frames must not pay for dirty upper halves
}

#pragma GCC diagnostic pop
#undef QUILLON_AVX512
#undef QUILLON_AVX2

// The capture streams a model uses (bit i: stream i); stream 0 always. The six known models are asked
// once, not on every block: ten virtual calls were a tenth of a short block's routing.
std::uint32_t UsedCaptureStreams(const CUSBDevice* model) {
    constexpr std::uint32_t kAll = (1u << (kLastCaptureStream + 1)) - 1;
    auto ask = [](const CUSBDevice& m) {
        std::uint32_t used = kAll;
        for (int i = 1; i <= kLastCaptureStream; ++i)
            if (!m.UsesStream(i)) used &= ~(1u << i);
        return used;
    };
    if (!model) return kAll;
    static const auto known = [&] {
        std::array<std::uint32_t, kConsoleModelCount> masks{};
        for (int m = 0; m < kConsoleModelCount; ++m) masks[m] = ask(*g_ConsoleModels[m]);
        return masks;
    }();
    for (int m = 0; m < kConsoleModelCount; ++m)
        if (model == g_ConsoleModels[m]) return known[m];
    return ask(*model);
}

// Calls take(stream, first channel, width, frames, output) for each stream of `used` that this block feeds, in
// stream order; returns how many. The first stream written reads the driver's position into
// `blockHalf` unless it holds a half already.
template <typename Take>
std::uint32_t ForEachRoutedStream(std::uint32_t used, std::uint32_t frames, std::uint16_t channels,
                                  const RouteSlot* slots, int& blockHalf, Take take) {
    std::uint32_t c = 0, routed = 0;
    for (int i = 0; i <= kLastCaptureStream && c < channels; ++i) {
        if (!(used & (1u << i))) continue;  // skipping never consumes console channels
        const std::uint32_t w = StreamChannelCount(i);
        // A stream whose channels would run past the console frame gets nothing, nor does any after it.
        if (c + w > channels) break;
        const RouteSlot& slot = slots[i];
        if (slot.Usable(w)) {
            const std::uint32_t half = slot.m_nLength / 2;
            // w is 1 or 2: shifts rather than divisions, which would cost more than a short copy.
            const std::uint32_t n = std::min(frames, std::min(kRouteScratchSamples, half) >> (w - 1));
            if (blockHalf < 0) blockHalf = static_cast<int>(slot.PositionHalf());
            take(i, c, w, n, slot.m_pBuffer + (blockHalf ? half : 0));
            ++routed;
        }
        c += w;
    }
    return routed;
}

// The streams gathered into groups of adjacent streams of one width, each group copied on its own.
std::uint32_t RouteCaptureGroups(const float* block, std::uint16_t channels, std::uint32_t frames, std::uint32_t used,
                                 const RouteSlot* slots, int& blockHalf) {
    CaptureGroup groups[kLastCaptureStream + 1];
    std::uint32_t count = 0;
    const std::uint32_t routed = ForEachRoutedStream(
        used, frames, channels, slots, blockHalf, [&](int, std::uint32_t c, std::uint32_t w, std::uint32_t n, float* out) {
            if (count && groups[count - 1].Takes(w, c, n)) {
                CaptureGroup& group = groups[count - 1];
                group.out[group.streams++] = out;
            } else {
                groups[count++] = {{out}, c, w, n, 1};
            }
        });
    for (std::uint32_t g = 0; g < count; ++g) CopyGroup(block, channels, groups[g]);
    return routed;
}

// The plan's columns for frames `from` to `to` - 1, a sample at a time: the few frames a step of four
// leaves over.
void CopyColumnsScalar(const float* block, std::size_t stride, const CapturePlan& plan, std::uint32_t from,
                       std::uint32_t to) {
    for (std::uint32_t k = 0; k < plan.count; ++k) {
        const CaptureColumn& column = plan.columns[k];
        for (std::uint32_t f = from; f < to; ++f) {
            const float* in = block + f * stride + 2 * k;
            switch (column.kind) {
                case CaptureColumn::kStereo:
                    column.out[0][2 * f] = in[0];
                    column.out[0][2 * f + 1] = in[1];
                    break;
                case CaptureColumn::kMonoBoth:
                    column.out[0][f] = in[0];
                    column.out[1][f] = in[1];
                    break;
                case CaptureColumn::kMonoEven: column.out[0][f] = in[0]; break;
                case CaptureColumn::kMonoOdd: column.out[1][f] = in[1]; break;
                case CaptureColumn::kNone: break;
            }
        }
    }
}

// A block through a plan, a pass per column pair: with AVX-512 every frame, eight a step; otherwise whole
// steps of four frames, and the rest a sample at a time.
void CopyPlan(const float* block, std::uint32_t samples, std::uint16_t channels, const CapturePlan& plan) {
    const std::uint32_t frames = samples / channels;
    if (frames == 0) return;
    if (SampleConversion::ActiveKernelSet() == SampleConversion::KernelSet::Avx512)
        return CopyColumns512(block, channels, samples, frames, plan);
    const std::uint32_t steps = frames & ~3u;
    if (steps) CopyColumns(block, channels, samples, plan, steps);
    if (steps < frames) CopyColumnsScalar(block, channels, plan, steps, frames);
}

}  // namespace

RouteSlot MakeRouteSlot(const DriverStreamSlot& slot) {
    RouteSlot view;
    const VAD_STREAM_OPEN_BLOCK& open = slot.m_OpenBlock;
    const std::uint64_t position = open.StatusAddress + kVadStatusPositionOffset;
    if (!slot.m_bOpen || open.BufferAddress == 0 || open.BufferLength == 0 || open.StatusAddress == 0 ||
        position % alignof(std::uint32_t) != 0)
        return view;
    view.m_pBuffer = reinterpret_cast<float*>(static_cast<std::uintptr_t>(open.BufferAddress));
    view.m_nLength = open.BufferLength;
    view.m_nChannels = open.Channels;
    view.m_pPosition = reinterpret_cast<std::uint32_t*>(static_cast<std::uintptr_t>(position));
    return view;
}

void CapturePlan::Add(std::uint32_t channel, std::uint32_t width, std::uint32_t n, std::uint32_t frames, float* out) {
    const std::uint32_t k = channel / 2;
    if (n != frames || k >= kMaxColumns || (width == 2 && channel % 2 != 0)) {
        possible = false;
        return;
    }
    count = std::max(count, k + 1);
    CaptureColumn& column = columns[k];
    if (width == 2) {
        column = {CaptureColumn::kStereo, {out, nullptr}};
    } else {
        column.out[channel % 2] = out;
        column.kind = column.out[0] && column.out[1] ? CaptureColumn::kMonoBoth
                      : column.out[0]            ? CaptureColumn::kMonoEven
                                                 : CaptureColumn::kMonoOdd;
    }
}

void CapturePlan::Bound(std::uint32_t samples, std::uint16_t channels) {
    const std::uint32_t frames = samples / channels;
    for (std::uint32_t k = 0; k < count; k += 2) {
        const std::uint32_t end = 2 * k + 4;  // past the pair's last channel
        whole[k / 2] = samples < end ? 0 : std::min(frames, (samples - end) / channels + 1);
    }
}

// The route compares the slots it was made for byte for byte.
static_assert(std::has_unique_object_representations_v<RouteSlot>, "a RouteSlot must have no padding");

void CCaptureRoute::Prepare(std::uint32_t samples, std::uint16_t channels, const CUSBDevice* model,
                            const RouteSlot* slots) {
    m_pModel = model;
    m_nSamples = samples;
    m_nChannels = channels;
    std::copy(slots, slots + kCaptureStreams, m_Slots);
    m_bPrepared = true;
    m_nPositionStream = -1;
    const std::uint32_t frames = samples / channels;
    const std::uint32_t used = UsedCaptureStreams(model);
    for (int half = 0; half < 2; ++half) {
        CapturePlan& plan = m_Plans[half];
        plan = CapturePlan{};
        int blockHalf = half;
        m_nRouted = ForEachRoutedStream(used, frames, channels, slots, blockHalf,
                                        [&](int stream, std::uint32_t c, std::uint32_t w, std::uint32_t n, float* out) {
                                            if (m_nPositionStream < 0) m_nPositionStream = stream;
                                            plan.Add(c, w, n, frames, out);
                                        });
        plan.Bound(samples, channels);
    }
}

std::uint32_t CCaptureRoute::Route(const float* block, std::uint32_t samples, std::uint16_t channels,
                                   const CUSBDevice* model, const RouteSlot* slots) {
    if (!block || !slots || channels == 0) return 0;
    // Held to SSE2, or a layout the plan cannot take: the streams in groups, walked for every block.
    auto groups = [&] {
        int blockHalf = -1;
        return RouteCaptureGroups(block, channels, samples / channels, UsedCaptureStreams(model), slots, blockHalf);
    };
    if (!SampleConversion::UsingAvx2()) return groups();
    if (!m_bPrepared || model != m_pModel || samples != m_nSamples || channels != m_nChannels ||
        std::memcmp(slots, m_Slots, sizeof m_Slots) != 0)
        Prepare(samples, channels, model, slots);
    if (!m_Plans[0].possible) return groups();
    if (m_nRouted == 0) return 0;
    // The driver moves every stream's position at once: one read decides the half for all of this block's
    // streams, so a period boundary passed while the block is copied cannot split it between halves.
    CopyPlan(block, samples, channels, m_Plans[slots[m_nPositionStream].PositionHalf()]);
    return m_nRouted;
}

std::uint32_t RouteCaptureFrames(const float* block, std::uint32_t samples, std::uint16_t channels,
                                 const CUSBDevice* model, const RouteSlot* slots) {
    CCaptureRoute route;
    return route.Route(block, samples, channels, model, slots);
}

std::uint32_t RouteRenderFrames(float* block, std::uint32_t samples, std::uint16_t channels, const RouteSlot* slots) {
    if (!block || !slots || channels == 0) return 0;
    const std::uint32_t frames = samples / channels;

    // Each playback pair that reaches the frame: its console channel and what its stream supplies.
    constexpr int kPairs = kVirtualStreamCount - kFirstRenderStream;
    std::int32_t first[kPairs];
    const float* source[kPairs] = {};
    std::uint32_t supplied[kPairs] = {};
    std::uint32_t routed = 0;
    int blockHalf = -1;  // one position read decides the half for every stream, as in capture
    bool whole = channels == kTenChannels;  // the five pairs side by side, each supplying every frame
    for (int p = 0; p < kPairs; ++p) {
        const int i = kFirstRenderStream + p;
        first[p] = g_RenderChannelOffsets[i];
        // A pair must fit in the frame: its second channel too.
        if (first[p] < 0 || static_cast<std::uint32_t>(first[p]) + 1 >= channels) {
            first[p] = -1;
            whole = false;
            continue;
        }
        const RouteSlot& slot = slots[i];
        if (slot.Usable(2)) {
            const std::uint32_t half = slot.m_nLength / 2;
            supplied[p] = std::min(frames, std::min(kRouteScratchSamples, half) / 2);
            if (blockHalf < 0) blockHalf = static_cast<int>(slot.PositionHalf());
            source[p] = slot.m_pBuffer + (blockHalf ? 0 : half);
            ++routed;
        }
        whole = whole && first[p] == 2 * p && supplied[p] == frames;
    }

    if (whole) {
        if (SampleConversion::UsingAvx2())
            InterleaveTenAvx2(source, frames, block);
        else
            InterleaveTen(source, frames, block);
        return routed;
    }
    for (int p = 0; p < kPairs; ++p) {
        if (first[p] < 0) continue;
        float* out = block + first[p];
        if (source[p]) InterleavePair(source[p], supplied[p], out, channels);
        // Frames the stream did not supply are silence, never what the block held before.
        SilencePair(supplied[p], frames, out, channels);
    }
    return routed;
}
