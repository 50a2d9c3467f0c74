// A console pin's answers while it streams, from fuzz input: the pin is described and created as in
// fuzz_ks_filter (tests/fuzz/FuzzKsDevice.h keys), then a stream device runs on it for a few hundred ms of
// virtual time with its stream thread. In standard mode every read and write comes back as the input
// says (FuzzKsDevice.h packet mode, key 27: headers with any DataUsed, FrameExtent, Size, OptionsFlags
// and presentation time, completion errors, requests held or failed at once); in looped (WaveRT) mode
// the buffer, the position answers (key 22), the read and write packet answers (28, 29) and the driver's
// ticks (31: notifications, buffer writes, position register) arrive while the thread runs. The stream
// is then stopped (and maybe started again) and the device destroyed.
//
// Key 32 is the harness's own script: byte 0 bit 0 capture (else render), bit 1 a stop and a second start
// half-way, bit 2 no block callback; bytes 1-3 channels, container bits and valid bits of the format,
// byte 4 bit 0 WAVEFORMATEXTENSIBLE, bit 1 float; bytes 5-6 the packet size in samples (LE); byte 7 the
// streaming time (40 + 2 x byte ms).
#include <cstdint>
#include <memory>
#include <vector>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudPin.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsDebug.h"
#include "Service/Quillon/streaming/InputCaptureKS.h"
#include "Service/Quillon/streaming/OutputRenderKS.h"
#include "tests/fuzz/FuzzKsDevice.h"
#include "tests/fuzz/FuzzProcess.h"
#include "tests/fuzz/FuzzRepeat.h"

namespace {

constexpr std::uint8_t kScriptKey = 32;

std::uint8_t Byte(const std::vector<std::uint8_t>& b, std::size_t at, std::uint8_t otherwise) {
    return at < b.size() ? b[at] : otherwise;
}

WAVEFORMATEXTENSIBLE Format(const std::vector<std::uint8_t>& b) {
    const WORD channels = Byte(b, 1, 2);
    const WORD bits = Byte(b, 2, 32);
    const WORD valid = Byte(b, 3, 24);
    const std::uint8_t kind = Byte(b, 4, 1);
    const GUID& subFormat = (kind & 2) ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = (kind & 1) ? WAVE_FORMAT_EXTENSIBLE : (kind & 2) ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * 48000u;
    f.Format.cbSize = (kind & 1) ? 22 : 0;
    f.Samples.wValidBitsPerSample = valid;
    f.SubFormat = subFormat;
    return f;
}

// The service's callbacks read or write every sample of the block they are handed.
int Callback(float* block, std::uint32_t samples, std::uint16_t, void* context) {
    auto* capture = static_cast<bool*>(context);
    volatile float sum = 0;
    for (std::uint32_t i = 0; i < samples; ++i) {
        if (*capture) sum = sum + block[i];
        else block[i] = 0.25f;
    }
    return 0;
}

void Stream(CKSDevice& device, bool restart, std::uint32_t ms) {
    device.StartStreamThread();
    if (restart) {
        device.Start();
        Sleep(ms / 2);
        device.StopStreaming();
        Sleep(3);
    }
    device.Start();
    Sleep(restart ? ms / 2 : ms);
    device.StopStreaming();
    Sleep(2);
}

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);  // outlives the machine: its timers hold answers
    const fuzz::Answer* script = answers.Next(kScriptKey);
    const std::vector<std::uint8_t> steps = script ? script->bytes : std::vector<std::uint8_t>{};
    sim::Machine machine;
    auto device = std::make_shared<fuzz::FuzzFilter>(machine, answers);
    device->packets = true;
    const std::string instance = "USB\\VID_7A3E&PID_0072&MI_00\\FUZZ";
    const std::u16string path = sim::DeviceTree::InterfacePath(instance, KSCATEGORY_AUDIO, "global");
    machine.Devices().AddDevice({instance, {}, "", {}, {}, "Fuzz", 0, {}},
                                {{KSCATEGORY_AUDIO, path, device, SPINT_ACTIVE, ""}});
    g_ulKsDebugLevel = 0;
    fuzz::RunInProcess(
        machine,
        [&] {
            const std::uint8_t kind = Byte(steps, 0, 0);
            const bool capture = kind & 1;
            const WCHAR* name = reinterpret_cast<const WCHAR*>(path.c_str());
            HRESULT hr = E_FAIL;
            std::unique_ptr<CKsAudFilter> filter;
            if (capture) filter = std::make_unique<CKsAudCapFilter>(name, &hr);
            else filter = std::make_unique<CKsAudRenFilter>(name, &hr);
            if (FAILED(filter->Instantiate()) || FAILED(filter->EnumeratePins())) return;
            const WAVEFORMATEXTENSIBLE format = Format(steps);
            CKsAudPin* pin = capture ? static_cast<CKsAudCapFilter*>(filter.get())->CreateCapturePin(&format.Format)
                                     : static_cast<CKsAudRenFilter*>(filter.get())->CreateRenderPin(&format.Format);
            if (!pin) return;
            const std::uint32_t samples = Byte(steps, 5, 0) | (Byte(steps, 6, 2) << 8);
            const std::uint32_t ms = 40 + 2u * Byte(steps, 7, 50);
            bool isCapture = capture;
            std::unique_ptr<CKSDevice> stream;
            if (capture) stream = std::make_unique<CInputCaptureKS>(pin);
            else stream = std::make_unique<COutputRenderKS>(pin);
            if (!(kind & 4)) stream->SetBlockCallback(Callback, &isCapture);
            if (stream->AllocateBuffers(samples)) Stream(*stream, kind & 2, ms);
            stream.reset();  // stops the thread, the pin and frees the packets before the filter goes
        },
        60'000);
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
