#include "Service/Quillon/streaming/BlockRouting.h"

#include <algorithm>

#include "Service/Quillon/supervisor/ConsoleModels.h"

namespace {

constexpr int kLastCaptureStream = 10;

// Channels `first` (and `first + 1` when width is 2) of `frames` console frames of `stride` samples, as an
// interleaved block of `width` channels. Unrolled by four frames.
void Deinterleave(const float* block, std::uint32_t stride, std::uint32_t first, std::uint32_t width,
                  std::uint32_t frames, float* out) {
    const float* in = block + first;
    std::uint32_t f = 0;
    if (width == 1) {
        for (; f + 4 <= frames; f += 4, in += 4 * stride, out += 4) {
            out[0] = in[0];
            out[1] = in[stride];
            out[2] = in[2 * stride];
            out[3] = in[3 * stride];
        }
        for (; f < frames; ++f, in += stride) *out++ = in[0];
        return;
    }
    for (; f + 4 <= frames; f += 4, in += 4 * stride, out += 8) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[stride];
        out[3] = in[stride + 1];
        out[4] = in[2 * stride];
        out[5] = in[2 * stride + 1];
        out[6] = in[3 * stride];
        out[7] = in[3 * stride + 1];
    }
    for (; f < frames; ++f, in += stride, out += 2) {
        out[0] = in[0];
        out[1] = in[1];
    }
}

// A stereo block of `frames` frames into channels (first, first + 1) of the console frames.
void InterleavePair(const float* pair, std::uint32_t frames, float* block, std::uint32_t stride, std::uint32_t first) {
    float* out = block + first;
    std::uint32_t f = 0;
    for (; f + 4 <= frames; f += 4, out += 4 * stride, pair += 8) {
        out[0] = pair[0];
        out[1] = pair[1];
        out[stride] = pair[2];
        out[stride + 1] = pair[3];
        out[2 * stride] = pair[4];
        out[2 * stride + 1] = pair[5];
        out[3 * stride] = pair[6];
        out[3 * stride + 1] = pair[7];
    }
    for (; f < frames; ++f, out += stride, pair += 2) {
        out[0] = pair[0];
        out[1] = pair[1];
    }
}

void SilencePair(std::uint32_t from, std::uint32_t frames, float* block, std::uint32_t stride, std::uint32_t first) {
    for (std::uint32_t f = from; f < frames; ++f) {
        block[f * stride + first] = 0.0f;
        block[f * stride + first + 1] = 0.0f;
    }
}

}  // namespace

RouteSlot MakeRouteSlot(const DriverStreamSlot& slot) {
    RouteSlot view;
    const VAD_STREAM_OPEN_BLOCK& open = slot.m_OpenBlock;
    if (!slot.m_bOpen || open.BufferAddress == 0 || open.BufferLength == 0 || open.StatusAddress == 0) return view;
    view.m_pBuffer = reinterpret_cast<float*>(static_cast<std::uintptr_t>(open.BufferAddress));
    view.m_nLength = open.BufferLength;
    view.m_nChannels = open.Channels;
    view.m_pPosition = reinterpret_cast<const volatile std::uint32_t*>(
        static_cast<std::uintptr_t>(open.StatusAddress) + kVadStatusPositionOffset);
    return view;
}

std::uint32_t RouteCaptureFrames(const float* block, std::uint32_t samples, std::uint16_t channels,
                                 const CUSBDevice* model, const RouteSlot* slots) {
    if (!block || !slots || channels == 0) return 0;
    const std::uint32_t frames = samples / channels;
    std::uint32_t routed = 0;
    std::uint32_t c = 0;
    int i = 0;
    while (i <= kLastCaptureStream && c < channels) {
        const std::uint32_t w = StreamChannelCount(i);
        // A stream whose channels would run past the console frame gets nothing, nor does any after it.
        if (c + w > channels) break;
        const RouteSlot& slot = slots[i];
        if (slot.Usable(w)) {
            const std::uint32_t half = slot.m_nLength / 2;
            const std::uint32_t n = std::min({frames, kRouteScratchSamples / w, half / w});
            float* out = slot.m_pBuffer + (slot.PositionHalf() ? half : 0);
            Deinterleave(block, channels, c, w, n, out);
            ++routed;
        }
        c += w;
        ++i;
        if (model)
            while (i <= kLastCaptureStream && !model->UsesStream(i)) ++i;
    }
    return routed;
}

std::uint32_t RouteRenderFrames(float* block, std::uint32_t samples, std::uint16_t channels, const RouteSlot* slots) {
    if (!block || !slots || channels == 0) return 0;
    const std::uint32_t frames = samples / channels;
    std::uint32_t routed = 0;
    for (int i = kFirstRenderStream; i < kVirtualStreamCount; ++i) {
        const int start = g_RenderChannelOffsets[i];
        // A pair must fit in the frame: its second channel too.
        if (start < 0 || static_cast<std::uint32_t>(start) + 1 >= channels) continue;
        const auto first = static_cast<std::uint32_t>(start);
        const RouteSlot& slot = slots[i];
        std::uint32_t copied = 0;
        if (slot.Usable(2)) {
            const std::uint32_t half = slot.m_nLength / 2;
            copied = std::min({frames, kRouteScratchSamples / 2, half / 2});
            const float* in = slot.m_pBuffer + (slot.PositionHalf() ? 0 : half);
            InterleavePair(in, copied, block, channels, first);
            ++routed;
        }
        // Frames the stream did not supply are silence, never what the block held before.
        SilencePair(copied, frames, block, channels, first);
    }
    return routed;
}
