// What the stream fuzzer found in the standard-mode packet rings: the driver writes each KSSTREAM_HEADER
// back at completion, and a FrameExtent or Size of its own there must neither widen what the service
// converts and delivers (a read past the packet) nor shape the next request (a ring that stalls on a
// header of size 0, writes that claim more bytes than the packet holds). And a pin format with samples
// wider than the float blocks the packets are converted in gets no packets at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/streaming/InputCaptureKS.h"
#include "Service/Quillon/streaming/OutputRenderKS.h"
#include "tests/fuzz/FuzzKsDevice.h"
#include "tests/fuzz_regressions/FuzzRecords.h"

namespace {

using fuzzregress::Records;

constexpr std::uint8_t kDataUsed = 1, kFrameExtent = 2, kSize = 4;
constexpr std::uint32_t kPacketSamples = 96 * 2;  // 2 ms of stereo

WAVEFORMATEXTENSIBLE Stereo(WORD bits) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(bits / 4);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * 48000u;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits == 32 ? 24 : bits;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

struct Delivered {
    std::vector<std::uint32_t> samples;
    static int Callback(float* block, std::uint32_t samples, std::uint16_t, void* context) {
        static_cast<Delivered*>(context)->samples.push_back(samples);
        volatile float sum = 0;
        for (std::uint32_t i = 0; i < samples; ++i) sum = sum + block[i];  // as the bridge reads a block
        return 0;
    }
};

class StreamHeaders : public ::testing::Test {
protected:
    // Streams 200 ms on one pin answering from `records`; the pin instance stays for the checks.
    void Stream(const Records& records, bool capture) {
        answers = std::make_unique<fuzz::Answers>(records.Data().data(), records.Data().size());
        filter = std::make_shared<fuzz::FuzzFilter>(machine, *answers);
        filter->packets = true;
        const std::string instance = "USB\\VID_7A3E&PID_0072&MI_00\\HEADERS";
        const std::u16string path = sim::DeviceTree::InterfacePath(instance, KSCATEGORY_AUDIO, "global");
        machine.Devices().AddDevice({instance, {}, "", {}, {}, "Headers", 0, {}},
                                    {{KSCATEGORY_AUDIO, path, filter, SPINT_ACTIVE, ""}});
        sim::ProgramSpec spec;
        spec.imageName = "headers.exe";
        spec.entry = [&](HINSTANCE) {
            const WCHAR* name = reinterpret_cast<const WCHAR*>(path.c_str());
            HRESULT hr = E_FAIL;
            const WAVEFORMATEXTENSIBLE format = Stereo(bits);
            std::unique_ptr<CKSDevice> device;
            std::unique_ptr<CKsAudFilter> ks;
            if (capture) ks = std::make_unique<CKsAudCapFilter>(name, &hr);
            else ks = std::make_unique<CKsAudRenFilter>(name, &hr);
            EXPECT_EQ(ks->Instantiate(), S_OK);
            EXPECT_EQ(ks->EnumeratePins(), S_OK);
            CKsAudPin* pin = capture ? static_cast<CKsAudCapFilter*>(ks.get())->CreateCapturePin(&format.Format)
                                     : static_cast<CKsAudRenFilter*>(ks.get())->CreateRenderPin(&format.Format);
            EXPECT_NE(pin, nullptr);
            if (!pin) return 0;
            if (capture) device = std::make_unique<CInputCaptureKS>(pin);
            else device = std::make_unique<COutputRenderKS>(pin);
            device->SetBlockCallback(Delivered::Callback, &delivered);
            allocated = device->AllocateBuffers(kPacketSamples);
            EXPECT_EQ(device->PacketCount(), allocated ? 4u : 0u);
            device->StartStreamThread();
            EXPECT_EQ(device->Start(), S_OK);
            Sleep(200);
            device->StopStreaming();
            Sleep(2);
            device.reset();
            return 0;
        };
        ASSERT_TRUE(machine.WaitProcess(machine.StartProcess(spec), 60'000));
        ASSERT_EQ(filter->pins.size(), 1u);
    }

    // Every request after the first `from` carried the packet's own size and extent.
    void ExpectOwnHeaders(std::size_t from, std::uint32_t dataUsed) {
        const auto& sent = filter->pins[0]->submitted;
        ASSERT_GT(sent.size(), from + 20);
        for (std::size_t i = from; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].Size, sizeof(KSSTREAM_HEADER)) << i;
            EXPECT_EQ(sent[i].FrameExtent, kPacketSamples * 4) << i;
            EXPECT_EQ(sent[i].DataUsed, dataUsed) << i;
        }
    }

    WORD bits = 32;
    bool allocated = false;
    std::unique_ptr<fuzz::Answers> answers;  // outlives the machine, whose timers hold its answers
    sim::Machine machine;
    std::shared_ptr<fuzz::FuzzFilter> filter;
    Delivered delivered;
};

TEST_F(StreamHeaders, ACaptureExtentWrittenBackLargerThanThePacketDeliversNoMoreThanThePacket) {
    Records records;
    records.Pin(KSPIN_DATAFLOW_OUT)
        .Packet(36)
        .Packet(4, kDataUsed | kFrameExtent, 3, 0xFFFFFFF0)  // the same packets complete full afterwards
        .Packet(1);
    Stream(records, true);
    EXPECT_TRUE(allocated);
    ASSERT_GT(delivered.samples.size(), 40u);
    EXPECT_LE(*std::max_element(delivered.samples.begin(), delivered.samples.end()), kPacketSamples);
    ExpectOwnHeaders(0, 0);
}

TEST_F(StreamHeaders, CaptureHeadersWrittenBackWithSizeOrExtentZeroDoNotStallTheRing) {
    Records records;
    records.Pin(KSPIN_DATAFLOW_OUT).Packet(36).Packet(2, kSize, 0, 0, 0).Packet(2, kFrameExtent, 0, 0).Packet(1);
    Stream(records, true);
    // 100 packets of 2 ms, less the warm-up: the ring went on at full length.
    EXPECT_GT(delivered.samples.size(), 60u);
    EXPECT_EQ(std::count(delivered.samples.begin(), delivered.samples.end(), kPacketSamples),
              static_cast<std::ptrdiff_t>(delivered.samples.size()));
    ExpectOwnHeaders(0, 0);
}

TEST_F(StreamHeaders, RenderWritesCarryThePacketsOwnCountsWhateverTheLastCompletionLeft) {
    Records records;
    records.Pin(KSPIN_DATAFLOW_IN)
        .Packet(10)
        .Packet(4, kDataUsed | kFrameExtent | kSize, 0xFFFFFFFF, 0xFFFFFFFF, 12)
        .Packet(4, kDataUsed | kFrameExtent, 0, 0)
        .Packet(1);
    Stream(records, false);
    EXPECT_GT(delivered.samples.size(), 40u);
    ExpectOwnHeaders(0, kPacketSamples * 4);
}

// The range allows 8 to 64 bits: the pin opens with 64-bit samples, which its packets cannot hold.
TEST_F(StreamHeaders, PinsWithSamplesWiderThanAFloatGetNoPackets) {
    for (const bool capture : {true, false}) {
        SCOPED_TRACE(capture ? "capture" : "render");
        Records records;
        records.Pin(capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN, 8, 64).Packet(1);
        bits = 64;
        delivered.samples.clear();
        Stream(records, capture);
        EXPECT_FALSE(allocated);
        EXPECT_TRUE(delivered.samples.empty());
        EXPECT_TRUE(filter->pins[0]->submitted.empty());
        machine.Devices().RemoveDevice("USB\\VID_7A3E&PID_0072&MI_00\\HEADERS");
    }
}

}  // namespace
