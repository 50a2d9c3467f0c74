// A simulated console and the service's KS layer opening its pins, for the stream device tests. The
// body of a test runs as a simulated process (the KS layer keeps its pin-creation entry per process).
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsEnumFilters.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/text.h"

namespace streamtest {

inline void InProcess(sim::Machine& machine, const std::function<void()>& body) {
    sim::ProgramSpec spec;
    spec.imageName = "streams.exe";
    spec.entry = [&](HINSTANCE) {
        body();
        return 0;
    };
    machine.WaitProcess(machine.StartProcess(spec), 24 * 3'600'000u);
}

inline WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD container, WORD valid) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = 48000;
    w.Format.wBitsPerSample = container;
    w.Format.nBlockAlign = static_cast<WORD>(channels * container / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * 48000u;
    w.Format.cbSize = 22;
    w.Samples.wValidBitsPerSample = valid;
    w.dwChannelMask = 0;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return w;
}

// The console's filters, found as the service finds them; pins opened with one format.
class ConsolePins {
public:
    explicit ConsolePins(const sim::Console& console) {
        char pattern[32];
        std::snprintf(pattern, sizeof pattern, "usb#vid_7a3e&pid_%04x", console.Model().productId);
        pattern_ = pattern;
        render_.EnumRenderFilters();
        capture_.EnumCaptureFilters();
    }

    CKsAudPin* OpenRender(WORD channels, WORD container, WORD valid) {
        auto* filter = static_cast<CKsAudRenFilter*>(Find(render_));
        WAVEFORMATEXTENSIBLE w = Extensible(channels, container, valid);
        return filter ? filter->CreateRenderPin(reinterpret_cast<WAVEFORMATEX*>(&w)) : nullptr;
    }
    CKsAudPin* OpenCapture(WORD channels, WORD container, WORD valid) {
        auto* filter = static_cast<CKsAudCapFilter*>(Find(capture_));
        WAVEFORMATEXTENSIBLE w = Extensible(channels, container, valid);
        return filter ? filter->CreateCapturePin(reinterpret_cast<WAVEFORMATEX*>(&w)) : nullptr;
    }

private:
    CKsFilter* Find(CKsEnumFilters& filters) {
        for (auto* node = filters.m_listFilters.GetHead(); node; node = node->pNext)
            if (sim::Lower(sim::Narrow(node->pItem->m_szFilterName)).find(pattern_) != std::string::npos)
                return node->pItem;
        return nullptr;
    }

    std::string pattern_;
    CKsEnumFilters render_;
    CKsEnumFilters capture_;
};

// What a block callback saw. The stream thread writes it while the test reads it: one lock guards it.
// Declare it before the device it is given to, so that it outlives the device's stream thread.
class CallbackLog {
public:
    std::function<void(float*, std::uint32_t, std::uint16_t)> fill;  // render: what to write; set before start

    static int Callback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
        auto* log = static_cast<CallbackLog*>(context);
        if (log->fill) log->fill(block, samples, channels);
        std::lock_guard lock(log->mutex_);
        log->samples_.push_back(samples);
        return 0;
    }
    // Samples per call, in order.
    std::vector<std::uint32_t> Samples() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::size_t Calls() const { return Samples().size(); }

private:
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> samples_;
};

}  // namespace streamtest
