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

// Capture copies run over quads: four neighbouring console channels, read as one 128-bit load per frame
// and split into two halves of two channels each. A half feeds one stereo stream or up to two mono
// streams; its loads are shared with the other half, so every console sample is loaded once per block
// whatever the streams' widths. A quad's load may take channels past its streams (the next frame's first
// ones, at the frame's end) but never past the block: the last frames whose load would cross the block's
// end go through the scalar copy, as do the frames after the last whole step of four.
struct CaptureHalf {
    float* out[2];          // stereo: out[0] takes both channels; mono: out[k] takes channel k (or none)
    std::uint32_t frames;  // what each of its streams takes (a stream's half may hold fewer than a block)
    bool stereo;

    bool Empty() const { return !out[0] && !out[1]; }
};

struct CaptureQuad {
    std::uint32_t first;  // the console channel of the quad's first stream: half 0 is never empty
    CaptureHalf half[2];

    // Takes a stream of width w at console channel c taking n frames, if it falls inside the quad.
    bool Take(std::uint32_t c, std::uint32_t w, std::uint32_t n, float* out) {
        const std::uint32_t k = c - first;
        if (c < first || k + w > 4) return false;
        CaptureHalf& h = half[k / 2];
        if (w == 2) {
            if (k % 2 != 0 || !h.Empty()) return false;
            h = {{out, nullptr}, n, true};
            return true;
        }
        if (h.stereo || h.out[k % 2] || (!h.Empty() && h.frames != n)) return false;
        h.out[k % 2] = out;
        h.frames = n;
        return true;
    }
};

// The frames a quad copies in steps of four: all of them that its halves take, and no frame whose 16-byte
// load would pass the block's `total` samples.
std::uint32_t VectorFrames(const CaptureQuad& quad, std::size_t stride, std::uint32_t frames) {
    std::uint32_t n = frames;
    for (const CaptureHalf& h : quad.half)
        if (!h.Empty()) n = std::min(n, h.frames);
    const std::size_t total = stride * frames;
    if (total < quad.first + 4u) return 0;
    const std::size_t safe = (total - quad.first - 4) / stride + 1;  // frames whose load stays inside
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, safe)) & ~3u;
}

// Frames from `from` on, one sample at a time.
void CopyHalfTail(const float* in, std::size_t stride, std::uint32_t from, const CaptureHalf& h) {
    for (std::uint32_t f = from; f < h.frames; ++f) {
        const float* frame = in + f * stride;
        if (h.stereo) {
            h.out[0][2 * f] = frame[0];
            h.out[0][2 * f + 1] = frame[1];
            continue;
        }
        if (h.out[0]) h.out[0][f] = frame[0];
        if (h.out[1]) h.out[1][f] = frame[1];
    }
}

// What a half feeds; the copy loops are compiled for each pair of kinds, so that they test nothing.
enum class HalfKind { None, Stereo, Channel0, Channel1, Both };

HalfKind KindOf(const CaptureHalf& h) {
    if (h.stereo) return HalfKind::Stereo;
    if (h.out[0] && h.out[1]) return HalfKind::Both;
    return h.out[0] ? HalfKind::Channel0 : h.out[1] ? HalfKind::Channel1 : HalfKind::None;
}

// SSE2: a half's pairs are two registers, frames 0-1 and 2-3 (one 64-bit move each from the frames'
// loads); two shuffles split them into channels.
struct Sse2 {
    struct Pairs {
        __m128 f01, f23;
    };
    static void StorePairs(float* out, Pairs p) {
        _mm_storeu_ps(out, p.f01);
        _mm_storeu_ps(out + 4, p.f23);
    }
    static void StoreChannel(float* out, Pairs p, int channel) {
        _mm_storeu_ps(out, channel ? _mm_shuffle_ps(p.f01, p.f23, _MM_SHUFFLE(3, 1, 3, 1))
                                   : _mm_shuffle_ps(p.f01, p.f23, _MM_SHUFFLE(2, 0, 2, 0)));
    }
    // A half's stores for frames f .. f + 3 (each instruction set has its own copy of this, so that no
    // vector crosses a function compiled for another).
    template <HalfKind K>
    static void StoreHalf(Pairs pairs, std::uint32_t f, float* const out[2]) {
        if constexpr (K == HalfKind::Stereo) StorePairs(out[0] + 2 * f, pairs);
        if constexpr (K == HalfKind::Channel0 || K == HalfKind::Both) StoreChannel(out[0] + f, pairs, 0);
        if constexpr (K == HalfKind::Channel1 || K == HalfKind::Both) StoreChannel(out[1] + f, pairs, 1);
    }

    template <HalfKind Low, HalfKind High>
    static void CopyQuad(const float* in, std::size_t stride, std::uint32_t frames, const CaptureQuad& q) {
        const float* p = in;
        for (std::uint32_t f = 0; f < frames; f += 4, p += 4 * stride) {
            const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + stride);
            const __m128 c = _mm_loadu_ps(p + 2 * stride), d = _mm_loadu_ps(p + 3 * stride);
            StoreHalf<Low>({_mm_movelh_ps(a, b), _mm_movelh_ps(c, d)}, f, q.half[0].out);
            StoreHalf<High>({_mm_movehl_ps(b, a), _mm_movehl_ps(d, c)}, f, q.half[1].out);
        }
    }
};

#define QUILLON_AVX2 __attribute__((target("avx2")))

// AVX2: frames 0 and 2 in one register's two 128-bit lanes, frames 1 and 3 in another's; one 64-bit
// unpack then gives a half's pairs of all four frames in order, a stereo stream's one store; a permute
// puts channel 0 in the low lane and channel 1 in the high one.
struct Avx2 {
    using Pairs = __m256;
    QUILLON_AVX2 static void StorePairs(float* out, Pairs p) { _mm256_storeu_ps(out, p); }
    QUILLON_AVX2 static void StoreChannel(float* out, Pairs p, int channel) {
        const __m256 split = _mm256_permutevar8x32_ps(p, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
        _mm_storeu_ps(out, channel ? _mm256_extractf128_ps(split, 1) : _mm256_castps256_ps128(split));
    }
    template <HalfKind K>
    QUILLON_AVX2 static void StoreHalf(Pairs pairs, std::uint32_t f, float* const out[2]) {
        if constexpr (K == HalfKind::Stereo) StorePairs(out[0] + 2 * f, pairs);
        if constexpr (K == HalfKind::Channel0 || K == HalfKind::Both) StoreChannel(out[0] + f, pairs, 0);
        if constexpr (K == HalfKind::Channel1 || K == HalfKind::Both) StoreChannel(out[1] + f, pairs, 1);
    }

    template <HalfKind Low, HalfKind High>
    QUILLON_AVX2 static void CopyQuad(const float* in, std::size_t stride, std::uint32_t frames,
                                      const CaptureQuad& q) {
        const float* p = in;
        for (std::uint32_t f = 0; f < frames; f += 4, p += 4 * stride) {
            const __m256d a = _mm256_castps_pd(
                _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + 2 * stride), 1));
            const __m256d b = _mm256_castps_pd(
                _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + stride)), _mm_loadu_ps(p + 3 * stride), 1));
            StoreHalf<Low>(_mm256_castpd_ps(_mm256_unpacklo_pd(a, b)), f, q.half[0].out);
            StoreHalf<High>(_mm256_castpd_ps(_mm256_unpackhi_pd(a, b)), f, q.half[1].out);
        }
    }
};

// The copy loop of one quad for its two kinds of half.
template <class Isa, HalfKind Low>
void CopyQuadWith(HalfKind high, const float* in, std::size_t stride, std::uint32_t frames, const CaptureQuad& q) {
    switch (high) {
        case HalfKind::None: Isa::template CopyQuad<Low, HalfKind::None>(in, stride, frames, q); break;
        case HalfKind::Stereo: Isa::template CopyQuad<Low, HalfKind::Stereo>(in, stride, frames, q); break;
        case HalfKind::Channel0: Isa::template CopyQuad<Low, HalfKind::Channel0>(in, stride, frames, q); break;
        case HalfKind::Channel1: Isa::template CopyQuad<Low, HalfKind::Channel1>(in, stride, frames, q); break;
        case HalfKind::Both: Isa::template CopyQuad<Low, HalfKind::Both>(in, stride, frames, q); break;
    }
}

template <class Isa>
void CopyQuads(const float* block, std::size_t stride, std::uint32_t frames, const CaptureQuad* quads,
               std::uint32_t count) {
    for (const CaptureQuad* q = quads; q != quads + count; ++q) {
        const float* in = block + q->first;
        const std::uint32_t vector = VectorFrames(*q, stride, frames);
        const HalfKind high = KindOf(q->half[1]);
        // The first half always feeds a stream: the quad starts at one.
        switch (KindOf(q->half[0])) {
            case HalfKind::Stereo: CopyQuadWith<Isa, HalfKind::Stereo>(high, in, stride, vector, *q); break;
            case HalfKind::Channel0: CopyQuadWith<Isa, HalfKind::Channel0>(high, in, stride, vector, *q); break;
            case HalfKind::Both: CopyQuadWith<Isa, HalfKind::Both>(high, in, stride, vector, *q); break;
            default: break;
        }
        CopyHalfTail(in, stride, vector, q->half[0]);
        CopyHalfTail(in + 2, stride, vector, q->half[1]);
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
        const __m128d e01 = _mm256_castpd256_pd128(e), e23 = _mm256_extractf128_pd(e, 1);
        _mm_storel_pd(reinterpret_cast<double*>(out + 8), e01);
        _mm_storeh_pd(reinterpret_cast<double*>(out + 18), e01);
        _mm_storel_pd(reinterpret_cast<double*>(out + 28), e23);
        _mm_storeh_pd(reinterpret_cast<double*>(out + 38), e23);
    }
    if (f < frames) {
        const std::size_t k = 2 * static_cast<std::size_t>(f);
        const float* const rest[5] = {pairs[0] + k, pairs[1] + k, pairs[2] + k, pairs[3] + k, pairs[4] + k};
        InterleaveTen(rest, frames - f, out);
    }
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

std::uint32_t RouteCaptureFrames(const float* block, std::uint32_t samples, std::uint16_t channels,
                                 const CUSBDevice* model, const RouteSlot* slots) {
    if (!block || !slots || channels == 0) return 0;
    const std::uint32_t frames = samples / channels;

    // The streams the model uses, asked once each; stream 0 is always routed.
    std::uint32_t used = (1u << (kLastCaptureStream + 1)) - 1;
    if (model)
        for (int i = 1; i <= kLastCaptureStream; ++i)
            if (!model->UsesStream(i)) used &= ~(1u << i);

    // The streams this block feeds, walked once and gathered into quads; the copies then run without a
    // call per stream.
    CaptureQuad quads[kLastCaptureStream + 1];  // each set when opened
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
            if (!count || !quads[count - 1].Take(c, w, n, out)) {
                quads[count] = CaptureQuad{c, {}};
                quads[count++].Take(c, w, n, out);
            }
            ++routed;
        }
        c += w;
    }
    if (SampleConversion::UsingAvx2())
        CopyQuads<Avx2>(block, channels, frames, quads, count);
    else
        CopyQuads<Sse2>(block, channels, frames, quads, count);
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
