// KS filter and pin descriptions, pin creation and the pin instance's answers, all from fuzz input:
// pin counts, communication and data flow, interface, medium and data-range lists (KSMULTIPLE_ITEM of any
// size and content), names, topology node lists, WaveRT buffer, position and state answers.
//
// Key 30 is the harness's own script: byte 0 chooses the filter (bit 0 capture, bit 1 the plain
// CKsFilter, bit 2 the whole KS log instead of errors only), bytes 1-2 the WaveRT size to ask for, then
// one format per 3 bytes (channels, bits, byte 2: bit 0 extensible) to create a pin for.
#include <cstdint>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudPin.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsDebug.h"
#include "tests/fuzz/FuzzKsDevice.h"
#include "tests/fuzz/FuzzProcess.h"
#include "tests/fuzz/FuzzRepeat.h"

namespace {

constexpr std::uint8_t kScriptKey = 30;

WAVEFORMATEXTENSIBLE Format(std::uint8_t channels, std::uint8_t bits, bool extensible) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * 48000u;
    f.Format.cbSize = extensible ? 22 : 0;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

void UseInstance(CKsAudPin* pin, ULONG rtSize) {
    void* buffer = nullptr;
    ULONG size = 0;
    pin->AllocateBuffersWithNotification(rtSize, &buffer, &size);
    // A buffer the driver mapped is as large as it says: touch its ends the way the stream does.
    if (buffer && size) {
        static_cast<volatile BYTE*>(buffer)[0] = 1;
        static_cast<volatile BYTE*>(buffer)[size - 1] = 1;
    }
    pin->AllocateBuffer(rtSize, &buffer, &size);
    KSAUDIO_POSITION position{};
    pin->GetPosition(&position);
    pin->SetBufferDuration(10);
    pin->SetState(KSSTATE_RUN);
    if (!pin->m_bLooped) {
        BYTE data[256] = {};
        KSSTREAM_HEADER header{};
        header.Size = sizeof header;
        header.Data = data;
        header.FrameExtent = sizeof data;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (pin->m_ePinType == 2) pin->ReadData(&header, &overlapped);
        else pin->WriteData(&header, &overlapped);
        pin->ClosePin();  // cancels what is still pending before the header goes away
        CloseHandle(overlapped.hEvent);
    }
    pin->SetState(KSSTATE_STOP);
    pin->FreeBuffersWithNotification();
}

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);
    const fuzz::Answer* script = answers.Next(kScriptKey);
    const std::vector<std::uint8_t> steps = script ? script->bytes : std::vector<std::uint8_t>{};
    sim::Machine machine;
    auto device = std::make_shared<fuzz::FuzzFilter>(machine, answers);
    const std::string instance = "USB\\VID_7A3E&PID_0072&MI_00\\FUZZ";
    const std::u16string path = sim::DeviceTree::InterfacePath(instance, KSCATEGORY_AUDIO, "global");
    machine.Devices().AddDevice({instance, {}, "", {}, {}, "Fuzz", 0, {}},
                                {{KSCATEGORY_AUDIO, path, device, SPINT_ACTIVE, ""}});
    // The log formats driver data too; every level on costs most of the time, so the script chooses.
    g_ulKsDebugLevel = !steps.empty() && (steps[0] & 4) ? 6 : 1;
    fuzz::RunInProcess(machine, [&] {
        const WCHAR* name = reinterpret_cast<const WCHAR*>(path.c_str());
        const std::uint8_t kind = steps.empty() ? 0 : steps[0];
        const ULONG rtSize = steps.size() > 2 ? steps[1] | (steps[2] << 8) : 4096;
        HRESULT hr = E_FAIL;
        if (kind & 2) {
            CKsFilter filter(name, &hr);
            if (SUCCEEDED(filter.Instantiate())) {
                filter.EnumerateNodes();
                filter.EnumeratePins();
            }
            return;
        }
        std::unique_ptr<CKsAudFilter> filter;
        if (kind & 1) filter = std::make_unique<CKsAudCapFilter>(name, &hr);
        else filter = std::make_unique<CKsAudRenFilter>(name, &hr);
        if (FAILED(filter->Instantiate())) return;
        filter->EnumerateNodes();
        if (FAILED(filter->EnumeratePins())) return;
        for (std::size_t at = 3; at + 3 <= steps.size() && at < 3 + 3 * 4; at += 3) {
            const WAVEFORMATEXTENSIBLE format = Format(steps[at], steps[at + 1], steps[at + 2] & 1);
            const auto* wave = &format.Format;
            CKsAudPin* pin = kind & 1 ? static_cast<CKsAudCapFilter*>(filter.get())->CreateCapturePin(wave)
                                      : static_cast<CKsAudRenFilter*>(filter.get())->CreateRenderPin(wave);
            if (!pin) continue;
            pin->GetChannelsForFormat(wave);
            UseInstance(pin, rtSize);
        }
    });
    g_ulKsDebugLevel = 0;
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
