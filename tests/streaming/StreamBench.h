// A simulated console and the service's KS layer opening its pins, for the stream device tests. The
// body of a test runs as a simulated process (the KS layer keeps its pin-creation entry per process) that
// has the timer at 1 ms, as the service has it while a bridge runs.
#pragma once

#include <cstdio>
#include <functional>
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
        timeBeginPeriod(1);
        body();
        timeEndPeriod(1);
        return 0;
    };
    machine.WaitProcess(machine.StartProcess(spec), 24 * 3'600'000u);
}

inline WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD container, WORD valid,
                                       const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
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
    w.SubFormat = subFormat;
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

    CKsAudPin* OpenRender(WORD channels, WORD container, WORD valid,
                          const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
        auto* filter = static_cast<CKsAudRenFilter*>(Find(render_));
        WAVEFORMATEXTENSIBLE w = Extensible(channels, container, valid, subFormat);
        return filter ? filter->CreateRenderPin(reinterpret_cast<WAVEFORMATEX*>(&w)) : nullptr;
    }
    CKsAudPin* OpenCapture(WORD channels, WORD container, WORD valid,
                           const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
        auto* filter = static_cast<CKsAudCapFilter*>(Find(capture_));
        WAVEFORMATEXTENSIBLE w = Extensible(channels, container, valid, subFormat);
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

// What a block callback saw.
struct CallbackLog {
    std::vector<std::uint32_t> samples;  // per call
    std::vector<std::uint64_t> times;    // machine ms per call
    std::vector<float> first;            // block[0] per call
    std::function<void(float*, std::uint32_t, std::uint16_t)> fill;  // render: what to write

    static int Callback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
        auto* log = static_cast<CallbackLog*>(context);
        log->samples.push_back(samples);
        log->times.push_back(sim::Machine::Current().NowMs());
        log->first.push_back(samples ? block[0] : 0.0f);
        if (log->fill) log->fill(block, samples, channels);
        return 0;
    }
};

}  // namespace streamtest
