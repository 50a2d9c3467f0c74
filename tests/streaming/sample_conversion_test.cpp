// The pin conversions: the values of the conversion tables, and every block length against the rule
// computed one sample at a time (the kernels work in steps of 4 to 16 samples with a scalar remainder).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "Service/Quillon/streaming/SampleConversion.h"
#include "tests/streaming/KernelSets.h"

namespace {

using namespace SampleConversion;

// The capture rule: the integer to float (round to nearest), then one single-precision multiply.
float CaptureRule(std::int32_t v, float scale) { return static_cast<float>(v) * scale; }

// The render rule: clamp (NaN and infinities to silence), scale, truncate toward zero.
std::int64_t RenderRule(float v, float scale) {
    if (!std::isfinite(v)) return 0;
    const float c = v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
    return static_cast<std::int64_t>(std::trunc(static_cast<double>(c * scale)));
}

// A block of `samples` floats whose first bytes hold `values` packed at `bytes` each.
std::vector<float> Packed(const std::vector<std::int32_t>& values, int bytes) {
    // Exactly `samples` floats, no spare capacity: under AddressSanitizer a kernel's read or write past the
    // block is caught.
    std::vector<float> block(values.size());
    auto* p = reinterpret_cast<unsigned char*>(block.data());
    for (std::size_t i = 0; i < values.size(); ++i) std::memcpy(p + i * bytes, &values[i], bytes);  // little-endian
    return block;
}

std::int32_t ReadPacked(const unsigned char* p, std::size_t i, int bytes) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, p + i * bytes, bytes);
    const int shift = 32 - 8 * bytes;
    return static_cast<std::int32_t>(raw << shift) >> shift;
}

TEST(SampleConversion, CaptureTableValues) {
    auto one = [](int bytes, std::int32_t value) {
        auto block = Packed({value}, bytes);
        CaptureToFloat(static_cast<unsigned>(bytes * 8), block.data(), 1);
        return block[0];
    };
    EXPECT_EQ(one(2, 0x7FFF), 1.0f);
    EXPECT_EQ(one(2, -0x8000), -32768.0f * kCapture16Scale);
    EXPECT_FLOAT_EQ(one(2, -0x8000), -1.0000305f);
    EXPECT_EQ(one(3, 0x7FFFFF), 1.0f);
    EXPECT_FLOAT_EQ(one(3, -0x800000), -1.0000001f);
    EXPECT_EQ(one(4, 0x7FFFFFFF), 1.0f);
    EXPECT_EQ(one(4, INT32_MIN), -1.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kCapture16Scale), 0x38000100u);
}

TEST(SampleConversion, RenderTableValuesAndClipping) {
    auto one = [](unsigned bits, unsigned valid, float value) {
        std::vector<float> block{value};
        RenderFromFloat(bits, valid, block.data(), block.data(), 1);
        std::uint32_t raw = 0;
        std::memcpy(&raw, block.data(), bits / 8);
        return raw;
    };
    EXPECT_EQ(one(16, 16, 1.0f), 0x7FFFu);
    EXPECT_EQ(one(24, 24, 1.0f), 0x7FFFFFu);
    EXPECT_EQ(one(32, 32, 1.0f), 0x7FFFFFFFu);
    EXPECT_EQ(one(32, 24, 1.0f), 0x7FFFFF00u);
    EXPECT_EQ(one(16, 16, -1.0f), 0x8001u);
    EXPECT_EQ(one(24, 24, -1.0f), 0x800001u);
    EXPECT_EQ(one(32, 32, -1.0f), 0x80000000u);
    EXPECT_EQ(one(32, 24, -1.0f), 0x80000000u);
    EXPECT_EQ(one(16, 16, 2.0f), 0x7FFFu);
    EXPECT_EQ(one(16, 16, -3.5f), 0x8001u);
    EXPECT_EQ(one(32, 32, 2.0f), 0x7FFFFFFFu);
    EXPECT_EQ(one(24, 24, -3.5f), 0x800001u);
    EXPECT_EQ(one(32, 32, std::numeric_limits<float>::max()), 0x7FFFFFFFu);  // the largest finite value clips
    // Silence for a NaN or an infinity, which an application may write into the driver's buffers.
    EXPECT_EQ(one(16, 16, NAN), 0u);
    EXPECT_EQ(one(32, 32, -NAN), 0u);
    EXPECT_EQ(one(32, 32, INFINITY), 0u);
    EXPECT_EQ(one(24, 24, -INFINITY), 0u);
}

TEST(SampleConversion, EveryLengthInPlaceMatchesTheRule) {
    WithEachKernelSet([] {
        std::mt19937 random(7);
        for (int bytes : {2, 3, 4}) {
            const float scale = bytes == 2 ? kCapture16Scale : bytes == 3 ? kCapture24Scale : kCapture32Scale;
            const std::int64_t range = std::int64_t{1} << (8 * bytes - 1);
            std::uniform_int_distribution<std::int64_t> value(-range, range - 1);
            for (std::size_t n = 0; n <= 140; ++n) {
                std::vector<std::int32_t> values(n);
                for (auto& v : values) v = static_cast<std::int32_t>(value(random));
                auto block = Packed(values, bytes);
                ASSERT_TRUE(CaptureToFloat(static_cast<unsigned>(bytes * 8), block.data(), n));
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(block[i], CaptureRule(values[i], scale)) << bytes << " bytes, n " << n << ", i " << i;
            }
        }
    });
}

// Floats at the edges of the render rule, which the vector forms reach by other routes than the scalar
// one (values the conversion instruction cannot represent, signed zeros, the clip points, non-finite).
const float kRenderEdges[] = {0.0f,
                              -0.0f,
                              1.0f,
                              -1.0f,
                              std::nextafter(1.0f, 0.0f),
                              std::nextafter(1.0f, 2.0f),
                              std::nextafter(-1.0f, -2.0f),
                              std::nextafter(-1.0f, 0.0f),
                              255.9f,
                              -256.0f,
                              65537.0f,
                              -65537.0f,
                              3.0e9f,
                              -3.0e9f,
                              1.0e30f,
                              std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::lowest(),
                              std::numeric_limits<float>::denorm_min(),
                              -std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::signaling_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity()};

TEST(SampleConversion, RenderEveryLengthInPlaceAndIntoASeparateBufferMatchesTheRule) {
    WithEachKernelSet([] {
        std::mt19937 random(11);
        // Dense: about one sample in four an edge value, so that each lands in every lane of every step,
        // and other values beyond full scale too. Sparse: only the fixed edges below, so that most steps
        // hold nothing beyond full scale, which the kernels may convert by a shorter route.
        std::uniform_real_distribution<float> denseValue(-1.3f, 1.3f), sparseValue(-1.0f, 1.0f);
        std::uniform_int_distribution<std::size_t> edge(0, 4 * std::size(kRenderEdges) - 1);
        struct Format {
            unsigned bits, valid;
            float scale;
        };
        for (Format f : {Format{16, 16, kRender16Scale}, Format{24, 24, kRender24Scale}, Format{32, 24, kRender32Scale},
                         Format{32, 32, kRender32Scale}}) {
            const int bytes = static_cast<int>(f.bits / 8);
            for (std::size_t run = 0; run < 2 * 141; ++run) {
                const std::size_t n = run / 2;
                const bool dense = run % 2 == 0;
                std::vector<float> in(n);
                for (auto& v : in) {
                    if (!dense) {
                        v = sparseValue(random);
                        continue;
                    }
                    const std::size_t e = edge(random);
                    v = e < std::size(kRenderEdges) ? kRenderEdges[e] : denseValue(random);
                }
                if (n > 5) in[5] = 1.0f;
                if (n > 21) in[21] = std::numeric_limits<float>::quiet_NaN();  // a lane of a vector step
                if (n > 34) in[34] = std::numeric_limits<float>::infinity();
                if (n > 43) in[43] = -std::numeric_limits<float>::infinity();
                if (n > 54) in[54] = std::nextafter(1.0f, 2.0f);  // each alone in its step: the least beyond
                if (n > 67) in[67] = std::nextafter(-1.0f, -2.0f);
                std::vector<float> inPlace = in;
                std::vector<unsigned char> separate(n * bytes + 8, 0xCC);
                RenderFromFloat(f.bits, f.valid, inPlace.data(), inPlace.data(), n);
                RenderFromFloat(f.bits, f.valid, in.data(), separate.data(), n);
                const auto* packed = reinterpret_cast<const unsigned char*>(inPlace.data());
                for (std::size_t i = 0; i < n; ++i) {
                    std::int64_t expected = RenderRule(in[i], f.scale);
                    if (f.bits == 32) {
                        expected = std::min<std::int64_t>(expected, INT32_MAX);
                        if (f.valid == 24) expected = static_cast<std::int32_t>(static_cast<std::uint32_t>(expected) & 0xFFFFFF00u);
                    }
                    ASSERT_EQ(ReadPacked(packed, i, bytes), expected)
                        << f.bits << "/" << f.valid << (dense ? " dense" : " sparse") << " n " << n << " i " << i;
                    ASSERT_EQ(ReadPacked(separate.data(), i, bytes), expected);
                }
                // Nothing written past the samples' bytes.
                for (std::size_t b = n * bytes; b < separate.size(); ++b) ASSERT_EQ(separate[b], 0xCC);
            }
        }
    });
}

TEST(SampleConversion, OtherDepthsAreLeftOrSilenced) {
    std::vector<float> block{0.5f, -0.5f};
    const auto before = block;
    EXPECT_FALSE(CaptureToFloat(8, block.data(), 2));
    EXPECT_EQ(block, before);
    EXPECT_FALSE(RenderFromFloat(8, 8, block.data(), block.data(), 2));
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], 0);
}

}  // namespace
