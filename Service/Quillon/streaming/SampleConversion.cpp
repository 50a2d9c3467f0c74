#include "Service/Quillon/streaming/SampleConversion.h"

#include <emmintrin.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

namespace SampleConversion {

namespace {

// The kernels use SSE2, which every x64 processor has; four samples per instruction, unrolled to
// sixteen samples a step. Each step loads all of its input before it stores any output, which keeps the
// in-place orders safe: capture runs from the top end down (its output is wider), render from the bottom
// up (narrower). The few samples that do not fill a step go through the scalar forms below, which define
// the results.

inline std::int32_t Load24(const unsigned char* p) {
    // Sign-extend bit 23 of a packed little-endian 3-byte sample.
    const std::uint32_t raw = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                              (static_cast<std::uint32_t>(p[2]) << 16);
    return static_cast<std::int32_t>(raw << 8) >> 8;
}

inline void Store24(unsigned char* p, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<unsigned char>(u);
    p[1] = static_cast<unsigned char>(u >> 8);
    p[2] = static_cast<unsigned char>(u >> 16);
}

// Clamps to [-1, +1]. A NaN or an infinity (an application may play anything into the driver's buffers)
// becomes 0: a NaN must not reach an integer conversion, whose result would be undefined, and an
// infinity is no more a sample than a NaN is (clamped, it would play as full-scale DC).
inline float Clamp(float v) {
    const float c = std::min(std::max(v, -1.0f), 1.0f);
    return std::fabs(v) <= std::numeric_limits<float>::max() ? c : 0.0f;
}

inline std::int32_t Scalar16(float v) { return static_cast<std::int32_t>(Clamp(v) * kRender16Scale); }
inline std::int32_t Scalar24(float v) { return static_cast<std::int32_t>(Clamp(v) * kRender24Scale); }
// The scaled value 2^31 (input +1.0) is stored as the largest positive value.
inline std::int32_t Scalar32(float v) {
    const float scaled = Clamp(v) * kRender32Scale;
    return scaled >= 2147483648.0f ? INT32_MAX : static_cast<std::int32_t>(scaled);
}

inline float LoadFloat(const float* p) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
}

// SSE2 forms of the same rules.
// All ones for a finite value; NaN and both infinities give zeros.
inline __m128 FiniteMask(__m128 v) {
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), v);
    return _mm_cmple_ps(magnitude, _mm_set1_ps(std::numeric_limits<float>::max()));
}

// Clamped to [-1, +1]; for finite values.
inline __m128 ClampFinite(__m128 v) {
    return _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-1.0f)), _mm_set1_ps(1.0f));
}

// The 16- and 24-bit rule for finite values: clamp, scale, truncate.
inline __m128i ScaleFinite(__m128 v, __m128 scale) { return _mm_cvttps_epi32(_mm_mul_ps(ClampFinite(v), scale)); }

// The 32-bit rule for finite values needs no clamp: v x 2^31 is exact (or infinite beyond 2^97, which
// converts and compares as the large finite values do), its truncation is the clamped result between -1
// and +1, and the conversion gives 0x80000000, the clamped result, for everything at or below -1. At or
// above +1 it gives 0x80000000 too, turned into 0x7FFFFFFF by flipping every bit.
inline __m128i Render32Finite(__m128 v) {
    const __m128 scaled = _mm_mul_ps(v, _mm_set1_ps(kRender32Scale));
    const __m128 top = _mm_cmpge_ps(scaled, _mm_set1_ps(2147483648.0f));
    return _mm_xor_si128(_mm_cvttps_epi32(scaled), _mm_castps_si128(top));
}

// Finite values' results as they are, the others' 0.
inline __m128i KeepFinite(__m128 v, __m128i r) { return _mm_and_si128(r, _mm_castps_si128(FiniteMask(v))); }

// The render steps of sixteen samples, four vectors. A NaN or an infinity is rare, so a step converts as
// if every sample were finite and then asks once whether one was not: that lane's sum over the four
// vectors is then not finite. (Finite samples whose sum overflows answer yes too; they only pay for the
// clearing, which leaves them as they are.) Three adds and a compare a step, where the rule took two or
// three operations per vector.
struct RenderStep {
    const float* in;
    __m128 v[4];

    explicit RenderStep(const float* from)
        : in(from), v{_mm_loadu_ps(from), _mm_loadu_ps(from + 4), _mm_loadu_ps(from + 8), _mm_loadu_ps(from + 12)} {}

    bool MayHoldNonFinite() const {
        const __m128 sum = _mm_add_ps(_mm_add_ps(v[0], v[1]), _mm_add_ps(v[2], v[3]));
        const __m128 zeroOrNan = _mm_sub_ps(sum, sum);
        return _mm_movemask_ps(_mm_cmpunord_ps(zeroOrNan, zeroOrNan)) != 0;
    }

    // The input is read again here rather than kept in registers through the conversion, which needs
    // them for its constants (SSE2 has sixteen); nothing of the step has been stored yet. The steps are
    // written out: GCC keeps a loop over them, and the vectors in memory.
    void ClearNonFinite(__m128i (&r)[4]) const {
        r[0] = KeepFinite(_mm_loadu_ps(in), r[0]);
        r[1] = KeepFinite(_mm_loadu_ps(in + 4), r[1]);
        r[2] = KeepFinite(_mm_loadu_ps(in + 8), r[2]);
        r[3] = KeepFinite(_mm_loadu_ps(in + 12), r[3]);
    }

    // The whole 16- and 24-bit rule: clamp, scale, truncate, and 0 for a NaN or an infinity.
    void ScaleClamped(__m128 scale, __m128i (&r)[4]) const {
        r[0] = ScaleFinite(v[0], scale);
        r[1] = ScaleFinite(v[1], scale);
        r[2] = ScaleFinite(v[2], scale);
        r[3] = ScaleFinite(v[3], scale);
        if (MayHoldNonFinite()) ClearNonFinite(r);
    }

    // By the 32-bit rule, each ANDed with `mask` (the valid bits).
    void Render32(__m128i mask, __m128i (&r)[4]) const {
        const bool check = MayHoldNonFinite();
        r[0] = _mm_and_si128(Render32Finite(v[0]), mask);
        r[1] = _mm_and_si128(Render32Finite(v[1]), mask);
        r[2] = _mm_and_si128(Render32Finite(v[2]), mask);
        r[3] = _mm_and_si128(Render32Finite(v[3]), mask);
        if (check) ClearNonFinite(r);
    }
};

// The whole rule for a step, out of line: the step below then keeps no sample for it.
[[gnu::noinline]] void ScaleClampedSse2(const float* in, __m128 scale, __m128i (&r)[4]) {
    RenderStep(in).ScaleClamped(scale, r);
}

// Sixteen samples by the 16- or 24-bit rule. A sample beyond full scale is rare (an application's own mix
// may exceed it), and within it the clamp changes nothing, so a step scales and truncates, and takes the
// whole rule only if a product's magnitude exceeds the scale or is a NaN: exactly where |v| exceeds 1 or
// v is not a number. The check asks the products, after their conversion, not the samples: SSE2's
// operations overwrite an operand, and the products are then free to be overwritten, so the step keeps
// no copies. An AND and a compare a vector, where the clamp took a min and a max.
inline void ScaleStep(const float* in, __m128 scale, __m128i (&r)[4]) {
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 p0 = _mm_mul_ps(_mm_loadu_ps(in), scale);
    const __m128 p1 = _mm_mul_ps(_mm_loadu_ps(in + 4), scale);
    const __m128 p2 = _mm_mul_ps(_mm_loadu_ps(in + 8), scale);
    const __m128 p3 = _mm_mul_ps(_mm_loadu_ps(in + 12), scale);
    r[0] = _mm_cvttps_epi32(p0);
    r[1] = _mm_cvttps_epi32(p1);
    r[2] = _mm_cvttps_epi32(p2);
    r[3] = _mm_cvttps_epi32(p3);
    // Converted here, not after the check: GCC would move the conversions there, onto the only path
    // that uses them, and keep a copy of each product for them.
    __asm__("" : "+x"(r[0]), "+x"(r[1]), "+x"(r[2]), "+x"(r[3]));
    const __m128 beyond01 = _mm_or_ps(_mm_cmpnle_ps(_mm_and_ps(p0, magnitude), scale),
                                      _mm_cmpnle_ps(_mm_and_ps(p1, magnitude), scale));
    const __m128 beyond23 = _mm_or_ps(_mm_cmpnle_ps(_mm_and_ps(p2, magnitude), scale),
                                      _mm_cmpnle_ps(_mm_and_ps(p3, magnitude), scale));
    if (_mm_movemask_ps(_mm_or_ps(beyond01, beyond23)) == 0) return;
    __m128i clamped[4];  // not r, which stays in registers
    ScaleClampedSse2(in, scale, clamped);
    r[0] = clamped[0];
    r[1] = clamped[1];
    r[2] = clamped[2];
    r[3] = clamped[3];
}

// Four 24-bit samples from 12 bytes at p (16 bytes readable) into four sign-extended 32-bit lanes.
inline __m128i Load24x4(const unsigned char* p) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // 64-bit lane 0: samples 0 and 1 in bits 0-23 and 24-47; lane 1: samples 2 and 3 likewise.
    const __m128i z = _mm_unpacklo_epi64(x, _mm_srli_si128(x, 6));
    const __m128i low = _mm_and_si128(_mm_slli_epi32(z, 8), _mm_set_epi32(0, -1, 0, -1));
    const __m128i high = _mm_and_si128(_mm_slli_epi64(z, 16), _mm_set_epi32(-1, 0, -1, 0));
    return _mm_srai_epi32(_mm_or_si128(low, high), 8);
}

// Eight 24-bit samples from the 24 bytes at p, which must be at least 1 byte into the block, into two
// vectors of four sign-extended lanes. Sample k wants the 32-bit word at p + 3k - 1 (its three bytes in
// the top three), and sample k + 4 the word 12 bytes on: lanes 0 and 3 of a 16-byte load from
// p + 3k - 1. Four unaligned loads (bytes p - 1 to p + 23, one below the step's first sample, which
// belongs to the samples below and is read and left as it is), four shuffles that gather lanes 0 and
// lanes 3, and the shifts that sign-extend.
inline void Load24x8Late(const unsigned char* p, __m128i& low, __m128i& high) {
    const __m128 l0 = _mm_loadu_ps(reinterpret_cast<const float*>(p - 1));
    const __m128 l1 = _mm_loadu_ps(reinterpret_cast<const float*>(p + 2));
    const __m128 l2 = _mm_loadu_ps(reinterpret_cast<const float*>(p + 5));
    const __m128 l3 = _mm_loadu_ps(reinterpret_cast<const float*>(p + 8));
    const __m128 t0 = _mm_shuffle_ps(l0, l1, _MM_SHUFFLE(3, 0, 3, 0));  // s0 s4 s1 s5
    const __m128 t1 = _mm_shuffle_ps(l2, l3, _MM_SHUFFLE(3, 0, 3, 0));  // s2 s6 s3 s7
    low = _mm_srai_epi32(_mm_castps_si128(_mm_shuffle_ps(t0, t1, _MM_SHUFFLE(2, 0, 2, 0))), 8);
    high = _mm_srai_epi32(_mm_castps_si128(_mm_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 1, 3, 1))), 8);
}

// Four 32-bit lanes to two pairs of packed 24-bit samples: per 64-bit half, the first sample in bytes
// 0-2, the second in bytes 3-5, zeros in bytes 6-7. (A NaN's 0x80000000 leaves zero bytes.)
inline __m128i Pair24x4(__m128i v) {
    const __m128i first = _mm_and_si128(v, _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF));
    const __m128i second = _mm_srli_epi64(_mm_and_si128(v, _mm_set_epi32(0x00FFFFFF, 0, 0x00FFFFFF, 0)), 8);
    return _mm_or_si128(first, second);
}

inline __m128 LoadPs(const float* p) { return _mm_loadu_ps(p); }
inline void StoreSi(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

void CaptureToFloat16Sse2(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    std::size_t end = samples;
    for (; end % 8 != 0; --end) {
        std::int16_t v;
        std::memcpy(&v, bytes + (end - 1) * 2, sizeof v);
        const float f = static_cast<float>(v) * kCapture16Scale;
        std::memcpy(bytes + (end - 1) * 4, &f, sizeof f);
    }
    const __m128 scale = _mm_set1_ps(kCapture16Scale);
    for (; end != 0; end -= 8) {
        const std::size_t i = end - 8;
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i * 2));
        const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        _mm_storeu_ps(block + i, _mm_mul_ps(_mm_cvtepi32_ps(lo), scale));
        _mm_storeu_ps(block + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), scale));
    }
}

void CaptureToFloat24Sse2(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    std::size_t end = samples;
    // The top samples one by one until the rest is whole steps of 8; the 16-byte loads of a step then
    // stay inside the block, whose float size is far larger than its 3-byte input. Above the first step
    // they also reach 1 byte below it, into the step below, which still holds integers then; that step's
    // own loads end by byte 3i + 3, below the 4i (i >= 8) where this step's stores begin.
    for (; end % 8 != 0; --end) {
        const float f = static_cast<float>(Load24(bytes + (end - 1) * 3)) * kCapture24Scale;
        std::memcpy(bytes + (end - 1) * 4, &f, sizeof f);
    }
    const __m128 scale = _mm_set1_ps(kCapture24Scale);
    for (; end != 0; end -= 8) {
        const std::size_t i = end - 8;
        const unsigned char* p = bytes + i * 3;
        __m128i a, b;
        if (i != 0) {
            Load24x8Late(p, a, b);
        } else {
            a = Load24x4(p);
            b = Load24x4(p + 12);
        }
        // The loads come before either store: they read up to byte 3i + 27, and the stores start at 4i.
        _mm_storeu_ps(block + i, _mm_mul_ps(_mm_cvtepi32_ps(a), scale));
        _mm_storeu_ps(block + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(b), scale));
    }
}

void CaptureToFloat32Sse2(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    const __m128 scale = _mm_set1_ps(kCapture32Scale);
    std::size_t i = 0;
    for (; i + 4 <= samples; i += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i * 4));
        _mm_storeu_ps(block + i, _mm_mul_ps(_mm_cvtepi32_ps(x), scale));
    }
    for (; i < samples; ++i) {
        std::int32_t v;
        std::memcpy(&v, bytes + i * 4, sizeof v);
        const float f = static_cast<float>(v) * kCapture32Scale;
        std::memcpy(bytes + i * 4, &f, sizeof f);
    }
}

void RenderFromFloat16Sse2(const float* in, void* outBlock, std::size_t samples) {
    auto* out = static_cast<unsigned char*>(outBlock);
    const __m128 scale = _mm_set1_ps(kRender16Scale);
    std::size_t i = 0;
    // Each step reads 64 bytes from byte 4i, then writes 32 from byte 2i.
    for (; i + 16 <= samples; i += 16) {
        __m128i r[4];
        ScaleStep(in + i, scale, r);
        StoreSi(out + i * 2, _mm_packs_epi32(r[0], r[1]));  // in range: the saturation never acts
        StoreSi(out + i * 2 + 16, _mm_packs_epi32(r[2], r[3]));
    }
    for (; i + 4 <= samples; i += 4) {
        const __m128i r = KeepFinite(LoadPs(in + i), ScaleFinite(LoadPs(in + i), scale));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i * 2), _mm_packs_epi32(r, r));
    }
    for (; i < samples; ++i) {
        const auto s = static_cast<std::int16_t>(Scalar16(LoadFloat(in + i)));
        std::memcpy(out + i * 2, &s, sizeof s);
    }
}

void RenderFromFloat24Sse2(const float* in, void* outBlock, std::size_t samples) {
    auto* out = static_cast<unsigned char*>(outBlock);
    const __m128 scale = _mm_set1_ps(kRender24Scale);
    std::size_t i = 0;
    // Each 64-bit half of Pair24x4's result holds two samples' 6 bytes and 2 zero bytes, stored with one
    // 8-byte store; the next store, 6 bytes on, covers those 2 bytes again. The last store of a step so
    // reaches 2 bytes into the sample after the step, which the loops therefore require to exist (its own
    // output will cover them) and which lie below the input still to be read (a step of sixteen writes up
    // to byte 3i + 49, and the next one reads from 4i + 64).
    const auto store = [](unsigned char* o, __m128i integers) {
        const __m128i pairs = Pair24x4(integers);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), pairs);
        _mm_storeh_pi(reinterpret_cast<__m64*>(o + 6), _mm_castsi128_ps(pairs));
    };
    for (; i + 16 < samples; i += 16) {
        __m128i r[4];
        ScaleStep(in + i, scale, r);
        store(out + i * 3, r[0]);
        store(out + i * 3 + 12, r[1]);
        store(out + i * 3 + 24, r[2]);
        store(out + i * 3 + 36, r[3]);
    }
    for (; i + 4 < samples; i += 4) store(out + i * 3, KeepFinite(LoadPs(in + i), ScaleFinite(LoadPs(in + i), scale)));
    for (; i < samples; ++i) Store24(out + i * 3, Scalar24(LoadFloat(in + i)));
}

template <bool Valid24>
void RenderFromFloat32Sse2(const float* in, unsigned char* out, std::size_t samples) {
    constexpr std::uint32_t mask = Valid24 ? 0xFFFFFF00u : 0xFFFFFFFFu;  // all ones: the ANDs fold away
    const __m128i maskVec = _mm_set1_epi32(static_cast<int>(mask));
    std::size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        __m128i r[4];
        RenderStep(in + i).Render32(maskVec, r);
        StoreSi(out + i * 4, r[0]);
        StoreSi(out + i * 4 + 16, r[1]);
        StoreSi(out + i * 4 + 32, r[2]);
        StoreSi(out + i * 4 + 48, r[3]);
    }
    for (; i + 4 <= samples; i += 4) {
        const __m128 v = LoadPs(in + i);
        StoreSi(out + i * 4, _mm_and_si128(KeepFinite(v, Render32Finite(v)), maskVec));
    }
    for (; i < samples; ++i) {
        const std::uint32_t s = static_cast<std::uint32_t>(Scalar32(LoadFloat(in + i))) & mask;
        std::memcpy(out + i * 4, &s, sizeof s);
    }
}

// AVX2 forms, chosen at run time where the processor has them: eight samples per instruction. The same
// orders and the same scalar remainders keep every result identical to the SSE2 forms.
// Every processor with AVX2 has FMA too; the dispatch asks for both.
#define QUILLON_AVX2 __attribute__((target("avx2,fma")))

QUILLON_AVX2 inline __m256 FiniteMask8(__m256 v) {
    const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v);
    return _mm256_cmp_ps(magnitude, _mm256_set1_ps(std::numeric_limits<float>::max()), _CMP_LE_OQ);
}

// As RenderStep, thirty-two samples a step.
struct RenderStep8 {
    const float* in;
    __m256 v[4];

    QUILLON_AVX2 explicit RenderStep8(const float* from)
        : in(from),
          v{_mm256_loadu_ps(from), _mm256_loadu_ps(from + 8), _mm256_loadu_ps(from + 16), _mm256_loadu_ps(from + 24)} {}

    QUILLON_AVX2 bool MayHoldNonFinite() const {
        const __m256 sum = _mm256_add_ps(_mm256_add_ps(v[0], v[1]), _mm256_add_ps(v[2], v[3]));
        const __m256 zeroOrNan = _mm256_sub_ps(sum, sum);
        return _mm256_movemask_ps(_mm256_cmp_ps(zeroOrNan, zeroOrNan, _CMP_UNORD_Q)) != 0;
    }

    QUILLON_AVX2 static __m256i Keep(const float* at, __m256i r) {
        return _mm256_and_si256(r, _mm256_castps_si256(FiniteMask8(_mm256_loadu_ps(at))));
    }

    QUILLON_AVX2 void ClearNonFinite(__m256i (&r)[4]) const {
        r[0] = Keep(in, r[0]);
        r[1] = Keep(in + 8, r[1]);
        r[2] = Keep(in + 16, r[2]);
        r[3] = Keep(in + 24, r[3]);
    }

    // The 16- and 24-bit rule.
    QUILLON_AVX2 static __m256i ScaleFinite(__m256 v, __m256 scale) {
        const __m256 c = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-1.0f)), _mm256_set1_ps(1.0f));
        return _mm256_cvttps_epi32(_mm256_mul_ps(c, scale));
    }
    QUILLON_AVX2 bool AnyBeyondOne() const {
        const __m256 sign = _mm256_set1_ps(-0.0f);
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256 low = _mm256_or_ps(_mm256_cmp_ps(_mm256_andnot_ps(sign, v[0]), one, _CMP_NLE_UQ),
                                        _mm256_cmp_ps(_mm256_andnot_ps(sign, v[1]), one, _CMP_NLE_UQ));
        const __m256 high = _mm256_or_ps(_mm256_cmp_ps(_mm256_andnot_ps(sign, v[2]), one, _CMP_NLE_UQ),
                                         _mm256_cmp_ps(_mm256_andnot_ps(sign, v[3]), one, _CMP_NLE_UQ));
        return _mm256_movemask_ps(_mm256_or_ps(low, high)) != 0;
    }
    QUILLON_AVX2 void Scale(__m256 scale, __m256i (&r)[4]) const {
        if (!AnyBeyondOne()) {
            r[0] = _mm256_cvttps_epi32(_mm256_mul_ps(v[0], scale));
            r[1] = _mm256_cvttps_epi32(_mm256_mul_ps(v[1], scale));
            r[2] = _mm256_cvttps_epi32(_mm256_mul_ps(v[2], scale));
            r[3] = _mm256_cvttps_epi32(_mm256_mul_ps(v[3], scale));
            return;
        }
        r[0] = ScaleFinite(v[0], scale);
        r[1] = ScaleFinite(v[1], scale);
        r[2] = ScaleFinite(v[2], scale);
        r[3] = ScaleFinite(v[3], scale);
        if (MayHoldNonFinite()) ClearNonFinite(r);
    }

    // The 32-bit rule, as Render32Finite, ANDed with `mask`.
    QUILLON_AVX2 static __m256i Render32Finite(__m256 v, __m256i mask) {
        const __m256 scaled = _mm256_mul_ps(v, _mm256_set1_ps(kRender32Scale));
        const __m256 top = _mm256_cmp_ps(scaled, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ);
        return _mm256_and_si256(_mm256_xor_si256(_mm256_cvttps_epi32(scaled), _mm256_castps_si256(top)), mask);
    }
    QUILLON_AVX2 void Render32(__m256i mask, __m256i (&r)[4]) const {
        const bool check = MayHoldNonFinite();
        r[0] = Render32Finite(v[0], mask);
        r[1] = Render32Finite(v[1], mask);
        r[2] = Render32Finite(v[2], mask);
        r[3] = Render32Finite(v[3], mask);
        if (check) ClearNonFinite(r);
    }
};

// 16 bytes from each address, the first in the low lane.
QUILLON_AVX2 inline __m256i Load2x128(const unsigned char* low, const unsigned char* high) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

QUILLON_AVX2 void CaptureToFloat16Avx2(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    std::size_t end = samples;
    for (; end % 16 != 0; --end) {
        std::int16_t v;
        std::memcpy(&v, bytes + (end - 1) * 2, sizeof v);
        const float f = static_cast<float>(v) * kCapture16Scale;
        std::memcpy(bytes + (end - 1) * 4, &f, sizeof f);
    }
    const __m256 scale = _mm256_set1_ps(kCapture16Scale);
    for (; end != 0; end -= 16) {
        const std::size_t i = end - 16;
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i * 2));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i * 2 + 16));
        const __m256 a = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(x0)), scale);
        const __m256 b = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(x1)), scale);
        _mm256_storeu_ps(block + i, a);
        _mm256_storeu_ps(block + i + 8, b);
    }
}

QUILLON_AVX2 void CaptureToFloat24Avx2(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    std::size_t end = samples;
    // As in the SSE2 form: the 16-byte loads of a step stay inside the block.
    for (; end % 16 != 0; --end) {
        const float f = static_cast<float>(Load24(bytes + (end - 1) * 3)) * kCapture24Scale;
        std::memcpy(bytes + (end - 1) * 4, &f, sizeof f);
    }
    // Each 32-bit lane takes its sample's three bytes into its top three; the arithmetic shift then
    // sign-extends from bit 23.
    const __m256i spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                                            -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    // Above the first step, eight samples' 24 bytes come from one 32-byte load that starts 4 bytes early,
    // so that its upper lane starts at the fifth sample: no lane insert, which costs a shuffle. Those 4
    // bytes belong to the step below, not yet converted; the load's end (byte 3i + 52 of the second
    // load) stays below this step's output, whose floats start at byte 4i.
    const __m256i spreadLate = _mm256_setr_epi8(-1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15,  //
                                                -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    const __m256 scale = _mm256_set1_ps(kCapture24Scale);
    for (; end != 0; end -= 16) {
        const std::size_t i = end - 16;
        const unsigned char* p = bytes + i * 3;
        __m256i a, b;
        if (i != 0) {
            a = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 4)), spreadLate);
            b = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 20)), spreadLate);
        } else {
            a = _mm256_shuffle_epi8(Load2x128(p, p + 12), spread);
            b = _mm256_shuffle_epi8(Load2x128(p + 24, p + 36), spread);
        }
        a = _mm256_srai_epi32(a, 8);
        b = _mm256_srai_epi32(b, 8);
        _mm256_storeu_ps(block + i, _mm256_mul_ps(_mm256_cvtepi32_ps(a), scale));
        _mm256_storeu_ps(block + i + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(b), scale));
    }
}

QUILLON_AVX2 void CaptureToFloat32Avx2(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    const __m256 scale = _mm256_set1_ps(kCapture32Scale);
    std::size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i * 4));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i * 4 + 32));
        _mm256_storeu_ps(block + i, _mm256_mul_ps(_mm256_cvtepi32_ps(x0), scale));
        _mm256_storeu_ps(block + i + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(x1), scale));
    }
    _mm256_zeroupper();  // the SSE2 remainder must not pay for dirty upper halves
    CaptureToFloat32Sse2(block + i, samples - i);
}

QUILLON_AVX2 void RenderFromFloat16Avx2(const float* in, void* outBlock, std::size_t samples) {
    auto* out = static_cast<unsigned char*>(outBlock);
    const __m256 scale = _mm256_set1_ps(kRender16Scale);
    std::size_t i = 0;
    for (; i + 32 <= samples; i += 32) {
        // 128 bytes read from byte 4i, then 64 written from byte 2i.
        __m256i r[4];
        RenderStep8(in + i).Scale(scale, r);
        // The pack works per 128-bit lane; the permute puts the four quarters back in order.
        auto* o = reinterpret_cast<__m256i*>(out + i * 2);
        _mm256_storeu_si256(o, _mm256_permute4x64_epi64(_mm256_packs_epi32(r[0], r[1]), 0xD8));  // in range
        _mm256_storeu_si256(o + 1, _mm256_permute4x64_epi64(_mm256_packs_epi32(r[2], r[3]), 0xD8));
    }
    _mm256_zeroupper();  // the SSE2 remainder must not pay for dirty upper halves
    RenderFromFloat16Sse2(in + i, out + i * 2, samples - i);
}

QUILLON_AVX2 void RenderFromFloat24Avx2(const float* in, void* outBlock, std::size_t samples) {
    auto* out = static_cast<unsigned char*>(outBlock);
    const __m256 scale = _mm256_set1_ps(kRender24Scale);
    // 32 samples a step: four vectors of packed bytes, dwords A0-A5, B0-B5, C0-C5, D0-D5, become three
    // whole 32-byte stores. One dword permute per vector moves its dwords to where its stores want them;
    // B and C each feed two stores. Eight samples a step took two stores of 16 and 8 bytes and a lane
    // extract per 24 bytes, which the stores and the extract bounded.
    const __m256i permA = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 0, 0);  // A0-A5 ..
    const __m256i permB = _mm256_setr_epi32(2, 4, 5, 6, 0, 0, 0, 1);  // B2-B5 .. B0 B1
    const __m256i permC = _mm256_setr_epi32(5, 6, 0, 0, 0, 1, 2, 4);  // C4 C5 .. C0-C3
    const __m256i permD = _mm256_setr_epi32(0, 0, 0, 1, 2, 4, 5, 6);  // .. D0-D5
    std::size_t i = 0;
    // Each lane's three bytes packed into the first 12 bytes of its 128-bit half (dwords 0-2 and 4-6).
    const __m256i gather = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                            0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    for (; i + 32 <= samples; i += 32) {
        // All 128 bytes of input are read before the first of the 96 bytes of output is written; the
        // next step's input starts at byte 4i + 128, past this step's last output byte 3i + 96.
        __m256i r[4];
        RenderStep8(in + i).Scale(scale, r);
        const __m256i a = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(r[0], gather), permA);
        const __m256i b = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(r[1], gather), permB);
        const __m256i c = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(r[2], gather), permC);
        const __m256i d = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(r[3], gather), permD);
        auto* o = reinterpret_cast<__m256i*>(out + i * 3);
        _mm256_storeu_si256(o, _mm256_blend_epi32(a, b, 0xC0));
        _mm256_storeu_si256(o + 1, _mm256_blend_epi32(b, c, 0xF0));
        _mm256_storeu_si256(o + 2, _mm256_blend_epi32(c, d, 0xFC));
    }
    _mm256_zeroupper();  // the SSE2 remainder must not pay for dirty upper halves
    RenderFromFloat24Sse2(in + i, out + i * 3, samples - i);
}

template <bool Valid24>
QUILLON_AVX2 void RenderFromFloat32Avx2(const float* in, unsigned char* out, std::size_t samples) {
    const __m256i mask = _mm256_set1_epi32(static_cast<int>(Valid24 ? 0xFFFFFF00u : 0xFFFFFFFFu));
    std::size_t i = 0;
    for (; i + 32 <= samples; i += 32) {
        __m256i r[4];
        RenderStep8(in + i).Render32(mask, r);
        auto* o = reinterpret_cast<__m256i*>(out + i * 4);
        _mm256_storeu_si256(o, r[0]);
        _mm256_storeu_si256(o + 1, r[1]);
        _mm256_storeu_si256(o + 2, r[2]);
        _mm256_storeu_si256(o + 3, r[3]);
    }
    _mm256_zeroupper();  // the SSE2 remainder must not pay for dirty upper halves
    RenderFromFloat32Sse2<Valid24>(in + i, out + i * 4, samples - i);
}

// AVX-512 forms (F, BW, VL, DQ): sixteen samples per instruction. The mask registers and two
// instructions make the render rule cheap: vfixupimmps turns a NaN or an infinity into +0 and leaves
// every other value as it is, and vrangeps then clamps to [-1, +1] (the smaller magnitude of v and 1,
// with v's sign). What remains of a block goes to the AVX2 forms, which give the same results.
#define QUILLON_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma")))

// GCC 12's AVX-512 intrinsics start their results from a self-initialised "undefined" vector, which its
// own uninitialised-value warnings report at every inlined use. (Clang has no such warning group.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The vfixupimmps table: one response per class of input, 4 bits each, class 0 in the low bits.
// Classes: QNaN, SNaN, zero, +1, -inf, +inf, negative, positive. Response 1 keeps the value, 8 gives +0.
constexpr int kNonFiniteToZero = 0x11881188;

// NaN and infinities to +0, everything else as it is.
QUILLON_AVX512 inline __m512 FiniteOrZero16(__m512 v) {
    return _mm512_fixupimm_ps(v, v, _mm512_set1_epi32(kNonFiniteToZero), 0);
}

// The 16- and 24-bit rule for sixteen samples: zero for the non-finite, clamp, scale, truncate.
QUILLON_AVX512 inline __m512i Render16x(const float* in, __m512 scale) {
    const __m512 c = _mm512_range_ps(FiniteOrZero16(_mm512_loadu_ps(in)), _mm512_set1_ps(1.0f), 0x02);
    return _mm512_cvttps_epi32(_mm512_mul_ps(c, scale));
}

QUILLON_AVX512 void CaptureToFloat16Avx512(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    std::size_t end = samples;
    for (; end % 32 != 0; --end) {
        std::int16_t v;
        std::memcpy(&v, bytes + (end - 1) * 2, sizeof v);
        const float f = static_cast<float>(v) * kCapture16Scale;
        std::memcpy(bytes + (end - 1) * 4, &f, sizeof f);
    }
    const __m512 scale = _mm512_set1_ps(kCapture16Scale);
    for (; end != 0; end -= 32) {
        // The 64 bytes of input (from byte 2i) are read before the 128 bytes of output (from 4i).
        const std::size_t i = end - 32;
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i * 2));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i * 2 + 32));
        const __m512 a = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(x0)), scale);
        const __m512 b = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(x1)), scale);
        _mm512_storeu_ps(block + i, a);
        _mm512_storeu_ps(block + i + 16, b);
    }
}

QUILLON_AVX512 void CaptureToFloat24Avx512(float* block, std::size_t samples) {
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    std::size_t end = samples;
    for (; end % 16 != 0; --end) {
        const float f = static_cast<float>(Load24(bytes + (end - 1) * 3)) * kCapture24Scale;
        std::memcpy(bytes + (end - 1) * 4, &f, sizeof f);
    }
    // Sixteen samples' 48 bytes from one 64-byte load: a dword permute gives each 128-bit lane its four
    // samples' 12 bytes, and the byte shuffle of the AVX2 form puts every sample in the top three bytes
    // of its dword. The load reads up to byte 3i + 63, inside the block (whose float size from sample i
    // is at least 4i + 64) and below the output above, which begins at 4i + 64; the stores begin at 4i,
    // above the input below (which ends at 3i).
    const __m512i dwords = _mm512_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11);
    const __m512i spread = _mm512_broadcast_i32x4(_mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11));
    const __m512 scale = _mm512_set1_ps(kCapture24Scale);
    for (; end != 0; end -= 16) {
        const std::size_t i = end - 16;
        const __m512i x = _mm512_loadu_si512(bytes + i * 3);
        const __m512i v = _mm512_srai_epi32(_mm512_shuffle_epi8(_mm512_permutexvar_epi32(dwords, x), spread), 8);
        _mm512_storeu_ps(block + i, _mm512_mul_ps(_mm512_cvtepi32_ps(v), scale));
    }
}

QUILLON_AVX512 void CaptureToFloat32Avx512(float* block, std::size_t samples) {
    const __m512 scale = _mm512_set1_ps(kCapture32Scale);
    std::size_t i = 0;
    for (; i + 32 <= samples; i += 32) {
        const __m512i x0 = _mm512_loadu_si512(block + i);
        const __m512i x1 = _mm512_loadu_si512(block + i + 16);
        _mm512_storeu_ps(block + i, _mm512_mul_ps(_mm512_cvtepi32_ps(x0), scale));
        _mm512_storeu_ps(block + i + 16, _mm512_mul_ps(_mm512_cvtepi32_ps(x1), scale));
    }
    CaptureToFloat32Avx2(block + i, samples - i);
}

QUILLON_AVX512 void RenderFromFloat16Avx512(const float* in, void* outBlock, std::size_t samples) {
    auto* out = static_cast<unsigned char*>(outBlock);
    const __m512 scale = _mm512_set1_ps(kRender16Scale);
    // The pack works per 128-bit lane; the qword permute puts the eight quarters back in order.
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    std::size_t i = 0;
    for (; i + 32 <= samples; i += 32) {
        // 128 bytes read, then 64 written from byte 2i; the next step reads from 4i + 128.
        const __m512i lo = Render16x(in + i, scale);
        const __m512i hi = Render16x(in + i + 16, scale);
        const __m512i packed = _mm512_permutexvar_epi64(order, _mm512_packs_epi32(lo, hi));  // in range
        _mm512_storeu_si512(out + i * 2, packed);
    }
    RenderFromFloat16Avx2(in + i, out + i * 2, samples - i);
}

QUILLON_AVX512 void RenderFromFloat24Avx512(const float* in, void* outBlock, std::size_t samples) {
    auto* out = static_cast<unsigned char*>(outBlock);
    const __m512 scale = _mm512_set1_ps(kRender24Scale);
    // As the AVX2 form, 64 samples a step: each vector's sixteen integers packed to three bytes in the
    // first 12 bytes of each 128-bit lane (its dwords 0-2, 4-6, 8-10, 12-14), then one two-source dword
    // permute per 64-byte store (indices from 16 take the second source).
    const __m512i gather = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    const __m512i first = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20);   // A0-A11 B0-B3
    const __m512i second = _mm512_setr_epi32(5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25);  // B4-B11 C0-C7
    const __m512i third = _mm512_setr_epi32(10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28, 29, 30);  // C8-C11 D0-D11
    std::size_t i = 0;
    for (; i + 64 <= samples; i += 64) {
        // All 256 bytes of input are read before the first of the 192 bytes of output is written; the
        // next step's input starts at byte 4i + 256, past this step's last output byte 3i + 191.
        const __m512i a = _mm512_shuffle_epi8(Render16x(in + i, scale), gather);
        const __m512i b = _mm512_shuffle_epi8(Render16x(in + i + 16, scale), gather);
        const __m512i c = _mm512_shuffle_epi8(Render16x(in + i + 32, scale), gather);
        const __m512i d = _mm512_shuffle_epi8(Render16x(in + i + 48, scale), gather);
        unsigned char* o = out + i * 3;
        _mm512_storeu_si512(o, _mm512_permutex2var_epi32(a, first, b));
        _mm512_storeu_si512(o + 64, _mm512_permutex2var_epi32(b, second, c));
        _mm512_storeu_si512(o + 128, _mm512_permutex2var_epi32(c, third, d));
    }
    RenderFromFloat24Avx2(in + i, out + i * 3, samples - i);
}

template <bool Valid24>
QUILLON_AVX512 void RenderFromFloat32Avx512(const float* in, unsigned char* out, std::size_t samples) {
    const __m512i mask = _mm512_set1_epi32(static_cast<int>(0xFFFFFF00u));
    const __m512i largest = _mm512_set1_epi32(INT32_MAX);
    const __m512 scale = _mm512_set1_ps(kRender32Scale);
    const __m512 top = _mm512_set1_ps(2147483648.0f);
    std::size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        // As Render32Finite, with the non-finite samples made 0 first: no clamp, the lanes at or above 2^31
        // (whose conversion gives 0x80000000) replaced by the largest value.
        const __m512 scaled = _mm512_mul_ps(FiniteOrZero16(_mm512_loadu_ps(in + i)), scale);
        const __mmask16 full = _mm512_cmp_ps_mask(scaled, top, _CMP_GE_OQ);
        __m512i r = _mm512_mask_mov_epi32(_mm512_cvttps_epi32(scaled), full, largest);
        if constexpr (Valid24) r = _mm512_and_si512(r, mask);
        _mm512_storeu_si512(out + i * 4, r);
    }
    RenderFromFloat32Avx2<Valid24>(in + i, out + i * 4, samples - i);
}

#pragma GCC diagnostic pop

// The processor's support, read once; tests and benchmarks may hold the kernels to a lower set.
std::atomic<int> g_hold{static_cast<int>(KernelSet::Avx512)};

KernelSet Best() {
    static const KernelSet best = [] {
        __builtin_cpu_init();
        // __builtin_cpu_supports reports a set only where the operating system saves its registers.
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx2") &&
            __builtin_cpu_supports("fma"))
            return KernelSet::Avx512;
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return KernelSet::Avx2;
        return KernelSet::Sse2;
    }();
    return best;
}

KernelSet Active() { return std::min(Best(), static_cast<KernelSet>(g_hold.load(std::memory_order_relaxed))); }

#undef QUILLON_AVX2
#undef QUILLON_AVX512

}  // namespace

void CaptureToFloat16(float* block, std::size_t samples) {
    switch (Active()) {
        case KernelSet::Avx512: return CaptureToFloat16Avx512(block, samples);
        case KernelSet::Avx2: return CaptureToFloat16Avx2(block, samples);
        case KernelSet::Sse2: break;
    }
    CaptureToFloat16Sse2(block, samples);
}
void CaptureToFloat24(float* block, std::size_t samples) {
    switch (Active()) {
        case KernelSet::Avx512: return CaptureToFloat24Avx512(block, samples);
        case KernelSet::Avx2: return CaptureToFloat24Avx2(block, samples);
        case KernelSet::Sse2: break;
    }
    CaptureToFloat24Sse2(block, samples);
}
void CaptureToFloat32(float* block, std::size_t samples) {
    switch (Active()) {
        case KernelSet::Avx512: return CaptureToFloat32Avx512(block, samples);
        case KernelSet::Avx2: return CaptureToFloat32Avx2(block, samples);
        case KernelSet::Sse2: break;
    }
    CaptureToFloat32Sse2(block, samples);
}
void RenderFromFloat16(const float* in, void* out, std::size_t samples) {
    switch (Active()) {
        case KernelSet::Avx512: return RenderFromFloat16Avx512(in, out, samples);
        case KernelSet::Avx2: return RenderFromFloat16Avx2(in, out, samples);
        case KernelSet::Sse2: break;
    }
    RenderFromFloat16Sse2(in, out, samples);
}
void RenderFromFloat24(const float* in, void* out, std::size_t samples) {
    switch (Active()) {
        case KernelSet::Avx512: return RenderFromFloat24Avx512(in, out, samples);
        case KernelSet::Avx2: return RenderFromFloat24Avx2(in, out, samples);
        case KernelSet::Sse2: break;
    }
    RenderFromFloat24Sse2(in, out, samples);
}
void RenderFromFloat32(const float* in, void* out, std::size_t samples, bool valid24) {
    auto* bytes = static_cast<unsigned char*>(out);
    switch (Active()) {
        case KernelSet::Avx512:
            return valid24 ? RenderFromFloat32Avx512<true>(in, bytes, samples)
                           : RenderFromFloat32Avx512<false>(in, bytes, samples);
        case KernelSet::Avx2:
            return valid24 ? RenderFromFloat32Avx2<true>(in, bytes, samples)
                           : RenderFromFloat32Avx2<false>(in, bytes, samples);
        case KernelSet::Sse2: break;
    }
    valid24 ? RenderFromFloat32Sse2<true>(in, bytes, samples) : RenderFromFloat32Sse2<false>(in, bytes, samples);
}

KernelSet BestKernelSet() { return Best(); }
void HoldKernelsTo(KernelSet most) { g_hold.store(static_cast<int>(most)); }
KernelSet ActiveKernelSet() { return Active(); }
bool UsingAvx2() { return Active() >= KernelSet::Avx2; }
const char* KernelSetName(KernelSet set) {
    switch (set) {
        case KernelSet::Avx512: return "avx512";
        case KernelSet::Avx2: return "avx2";
        case KernelSet::Sse2: break;
    }
    return "sse2";
}

bool CaptureToFloat(unsigned bitsPerSample, float* block, std::size_t samples) {
    switch (bitsPerSample) {
        case 16: CaptureToFloat16(block, samples); return true;
        case 24: CaptureToFloat24(block, samples); return true;
        case 32: CaptureToFloat32(block, samples); return true;
        default: return false;
    }
}

bool RenderFromFloat(unsigned bitsPerSample, unsigned validBits, const float* in, void* out, std::size_t samples) {
    switch (bitsPerSample) {
        case 16: RenderFromFloat16(in, out, samples); return true;
        case 24: RenderFromFloat24(in, out, samples); return true;
        case 32: RenderFromFloat32(in, out, samples, validBits == 24); return true;
        default: std::memset(out, 0, samples * (bitsPerSample / 8)); return false;
    }
}

}  // namespace SampleConversion
