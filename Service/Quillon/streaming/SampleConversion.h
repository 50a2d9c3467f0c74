// The sample conversions at the console's pins: the pin's integer PCM to the engine's 32-bit float
// (capture) and back, with clipping (render). They run for every packet on a stream thread, so they
// allocate nothing, take no locks and work on plain blocks.
//
// Capture. The pin delivers `samples` integers of 2, 3 or 4 bytes, packed at the start of a block that
// has room for `samples` floats; the conversion widens them in place, last sample first, so that no
// input is overwritten before it is read. The integer becomes a float as the processor's signed
// conversion does (round to nearest) and is then multiplied in single precision by the scale.
//
// Render. The block holds `samples` floats; each is clamped to [-1, +1], scaled and truncated toward
// zero, and the integers are written front to back over the block (the output never overtakes the
// input), packed as the pin expects. The same kernels may write into a separate pin buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace SampleConversion {

// Scale constants, as 32-bit float bit patterns.
inline constexpr float kCapture16Scale = std::bit_cast<float>(0x38000100u);  // 1 / 32767
inline constexpr float kCapture24Scale = std::bit_cast<float>(0x34000001u);  // 1 / 8388607
inline constexpr float kCapture32Scale = std::bit_cast<float>(0x30000000u);  // 2^-31
inline constexpr float kRender16Scale = std::bit_cast<float>(0x46FFFF00u);   // 32767.5
inline constexpr float kRender24Scale = std::bit_cast<float>(0x4AFFFFFFu);   // 8388607.5
inline constexpr float kRender32Scale = std::bit_cast<float>(0x4F000000u);   // 2^31

// Capture, in place: `block` holds the pin's integers at its start and receives the floats.
void CaptureToFloat16(float* block, std::size_t samples);
void CaptureToFloat24(float* block, std::size_t samples);
void CaptureToFloat32(float* block, std::size_t samples);  // also 24 valid bits left-justified in 32

// Render: reads `samples` floats from `in` and writes the pin's integers to `out`, which may be `in`
// itself (in place) or a separate buffer of samples x 2, 3 or 4 bytes.
void RenderFromFloat16(const float* in, void* out, std::size_t samples);
void RenderFromFloat24(const float* in, void* out, std::size_t samples);
// With `valid24` the low 8 bits of every sample are cleared (24 valid bits in a 32-bit container).
void RenderFromFloat32(const float* in, void* out, std::size_t samples, bool valid24);

// The capture conversion for a pin's bits per sample; other depths are left untouched. Returns
// whether the block was converted.
bool CaptureToFloat(unsigned bitsPerSample, float* block, std::size_t samples);
// The render conversion for a pin's format; another bit depth gets `out` zero-filled (samples x
// bitsPerSample / 8 bytes). Returns whether the block was converted.
bool RenderFromFloat(unsigned bitsPerSample, unsigned validBits, const float* in, void* out, std::size_t samples);

// The kernel sets, each a level above the one before: SSE2, which every x64 processor has; AVX2 with
// FMA; AVX-512 (F, BW, VL and DQ). Every set gives the same results, bit for bit.
enum class KernelSet { Sse2, Avx2, Avx512 };

// The best set the processor and the operating system (which must save the wider registers) allow.
KernelSet BestKernelSet();
// Holds every kernel (these and the render routing's) to at most `most`; KernelSet::Avx512 lifts the
// hold. For tests and benchmarks.
void HoldKernelsTo(KernelSet most);
// The set the kernels run now: the best allowed, within the hold.
KernelSet ActiveKernelSet();
// Whether the kernels run AVX2 or wider forms now (the render routing has AVX2 and SSE2 forms).
bool UsingAvx2();
// "sse2", "avx2" or "avx512".
const char* KernelSetName(KernelSet set);

}  // namespace SampleConversion
