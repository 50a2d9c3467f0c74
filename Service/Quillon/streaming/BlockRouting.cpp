#include "Service/Quillon/streaming/BlockRouting.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "Service/Quillon/streaming/SampleConversion.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"

namespace {

constexpr int kLastCaptureStream = 10;

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

#undef QUILLON_AVX2

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

std::uint32_t RouteCaptureFrames(const float* block, std::uint32_t samples, std::uint16_t channels,
                                 const CUSBDevice* model, const RouteSlot* slots) {
    if (!block || !slots || channels == 0) return 0;
    const std::uint32_t frames = samples / channels;

    // The streams the model uses, asked once each; stream 0 is always routed.
    std::uint32_t used = (1u << (kLastCaptureStream + 1)) - 1;
    if (model)
        for (int i = 1; i <= kLastCaptureStream; ++i)
            if (!model->UsesStream(i)) used &= ~(1u << i);

    // The streams this block feeds, walked once and gathered into groups; the copies then run without a
    // call per stream.
    CaptureGroup groups[kLastCaptureStream + 1];
    std::uint32_t count = 0, routed = 0;
    // The driver moves every stream's position at once: one read, at the first stream written, decides
    // the half for all of this block's streams, so a period boundary in the middle of the walk cannot
    // split the block between halves.
    int blockHalf = -1;
    std::uint32_t c = 0;
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
            float* const out = slot.m_pBuffer + (blockHalf ? half : 0);
            if (count && groups[count - 1].Takes(w, c, n)) {
                CaptureGroup& group = groups[count - 1];
                group.out[group.streams++] = out;
            } else {
                groups[count++] = {{out}, c, w, n, 1};
            }
            ++routed;
        }
        c += w;
    }
    for (std::uint32_t g = 0; g < count; ++g) CopyGroup(block, channels, groups[g]);
    return routed;
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
