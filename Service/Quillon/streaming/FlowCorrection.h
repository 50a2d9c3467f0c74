// One direction's drift correction state (the stream thread's own): the resampler and its queue, the
// drift estimate the sample-for-sample copy keeps, and the loop that steers the resampler once the drift
// is known. The queue is allocated when the bridge is made, never on the stream thread.
#pragma once

#include <cstdint>
#include <memory>

#include "Service/Quillon/streaming/DriftLoop.h"
#include "Service/Quillon/streaming/FrameResampler.h"

struct FlowCorrection {
    // Driver periods the queue holds at most.
    static constexpr std::uint32_t kQueuePeriods = 8;

    std::unique_ptr<CFrameResampler> m_pResampler;
    CDriftEstimate m_Estimate;
    CDriftLoop m_Loop;
    bool m_bEngaged = false;
    bool m_bAligned = false;      // the queue's level set to its target at the first boundary
    std::uint64_t m_Blocks = 0;   // console blocks routed since the gate opened
    std::int64_t m_Opened = 0;    // performance counter at the first routed block
    std::int64_t m_LastDone = 0;  // performance counter when a period was last written or read

    // Makes the queue for frames of `channels` channels and driver periods of `periodFrames` frames.
    void Prepare(std::uint16_t channels, std::uint32_t periodFrames) {
        if (channels == 0 || channels > CFrameResampler::kMaxChannels || periodFrames == 0) return;
        m_pResampler = std::make_unique<CFrameResampler>(kQueuePeriods * periodFrames);
        m_pResampler->Reset(channels);
    }
};
