// The virtual driver's answers on its control channel, from fuzz input: the register, open, close,
// enable, disable and release requests answered well, with short or overstated counts, with the record
// left as sent, with errors, or late. Open records come back with any buffer length and status areas
// whose position words hold any value. Checked: a failed open leaves the slot closed with a clean
// record, and whatever the driver says, the channel closes and stops cleanly.
//
// Keys: the request's function number low byte (0x01-0x04 capture open, close, enable, disable;
// 0x11-0x14 render; 0x21 register, 0x22 release). Modes (mode % 6): 0 well answered (an open's bytes:
// buffer length, then the status area's position word), 1 as 0 with a short count (the first byte),
// 2 the record left as sent, 3 ERROR_GEN_FAILURE, 4 ERROR_INVALID_PARAMETER, 5 as 0 but 1 ms late.
// Key 0x30: the script (byte 0: latency multiplier, bytes 1-2: streams to open as a bit mask).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "Service/Quillon/vdriver/VadProtocol.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "platform/sim/include/sim/devices.h"
#include "tests/fuzz/FuzzAnswers.h"
#include "tests/fuzz/FuzzProcess.h"
#include "tests/fuzz/FuzzRepeat.h"

namespace {

class FuzzDriver final : public sim::Device {
public:
    FuzzDriver(sim::Machine& m, fuzz::Answers& a) : machine(m), answers(a) {}
    std::string Describe() const override { return "fuzzed virtual driver"; }

    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
        const auto function = static_cast<std::uint8_t>((r->code >> 2) & 0xFF);
        const fuzz::Answer* a = answers.Next(function);
        const int mode = a ? a->mode % 6 : 0;
        if (mode == 3) return ERROR_GEN_FAILURE;
        if (mode == 4) return ERROR_INVALID_PARAMETER;
        DWORD count = std::min(r->inSize, r->outSize);
        if (r->out && r->in && r->out != r->in && count) std::memcpy(r->out, r->in, count);
        if (mode != 2 && r->out) Fill(function, r->out, r->outSize, a);
        if (mode == 1 && a && !a->bytes.empty()) count = std::min<DWORD>(count, a->bytes[0]);
        r->information = count;
        if (mode != 5) return ERROR_SUCCESS;
        std::lock_guard lock(machine.Mutex());
        machine.AddTimerLocked(machine.Now() + sim::kTicksPerMs, [r, count] { r->CompleteLocked(ERROR_SUCCESS, count); });
        return ERROR_IO_PENDING;
    }

    // The driver's side of a record: addresses of memory it mapped into the process, of the size it states.
    void Fill(std::uint8_t function, void* out, DWORD outSize, const fuzz::Answer* a) {
        const bool open = function == 0x01 || function == 0x11;
        if (open && outSize >= sizeof(VAD_STREAM_OPEN_BLOCK)) {
            VAD_STREAM_OPEN_BLOCK block;
            std::memcpy(&block, out, sizeof block);
            const std::uint32_t length = a ? a->U32() % kBufferFloats : 96 * 2 * 2;
            status.emplace_back(4, 0u);
            status.back()[1] = a ? a->U32(4) : 0;  // the position word, in range or not
            block.BufferAddress = reinterpret_cast<std::uint64_t>(NextBuffer());
            block.BufferLength = length;
            block.StatusAddress = reinterpret_cast<std::uint64_t>(status.back().data());
            std::memcpy(out, &block, sizeof block);
        } else if (function == 0x21 && outSize >= sizeof(VAD_CONTROL_BLOCK)) {
            VAD_CONTROL_BLOCK control;
            std::memcpy(&control, out, sizeof control);
            status.emplace_back(4, 0u);
            status.back()[1] = a ? a->U32() : 0;
            control.StatusAddress = reinterpret_cast<std::uint64_t>(status.back().data());
            std::memcpy(out, &control, sizeof control);
        }
    }

    // The stream buffers it maps, as large as it says (up to 64 K floats). The channel only hands their
    // addresses on and never writes into them, so they are taken from zeroed storage every input shares:
    // filling a new quarter megabyte for each open was most of an input's time.
    static constexpr std::uint32_t kBufferFloats = 0x10000;
    float* NextBuffer() {
        constexpr std::size_t kBuffers = 2 * kVirtualStreamCount;  // each stream opened in both rounds
        static std::vector<float> storage(kBuffers * kBufferFloats);
        return storage.data() + (opened++ % kBuffers) * kBufferFloats;
    }

    sim::Machine& machine;
    fuzz::Answers& answers;
    std::size_t opened = 0;
    std::deque<std::vector<std::uint32_t>> status;
};

[[noreturn]] void Fail(const char* what, int index) {
    std::fprintf(stderr, "fuzz_driver_channel: %s (stream %d)\n", what, index);
    std::abort();
}

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);
    const fuzz::Answer* script = answers.Next(0x30);
    const std::uint32_t multiplier = script && !script->bytes.empty() ? 1 + script->bytes[0] % 8 : 2;
    const std::uint32_t streams = script && script->bytes.size() >= 3 ? script->U32(1) & 0xFFFF : 0xFFFF;
    sim::Machine machine;
    auto driver = std::make_shared<FuzzDriver>(machine, answers);
    const std::string instance = "ROOT\\MEDIA\\0000";
    const std::u16string path = sim::DeviceTree::InterfacePath(instance, GUID_DEVINTERFACE_VAD_CONTROL);
    machine.Devices().AddDevice({instance, {"Root\\Quillon_VirtualAudio"}, "", {}, GUID_DEVCLASS_MEDIA, "Driver", 0, {}},
                                {{GUID_DEVINTERFACE_VAD_CONTROL, path, driver, SPINT_ACTIVE, ""}});
    fuzz::RunInProcess(machine, [&] {
        CVirtualDriverChannel channel;
        if (!channel.IsOpen()) Fail("the control interface did not open", -1);
        for (int round = 0; round < 2; ++round) {
            channel.ReleaseControlBlock();
            channel.RegisterControlBlock(round ? multiplier : 2);
            for (int i = 0; i < kVirtualStreamCount; ++i) {
                if (!(streams & (1u << i))) continue;
                std::uint32_t length = 0xDEADBEEF;
                const bool opened = channel.OpenStream(i, length);
                const DriverStreamSlot& slot = channel.Slot(i);
                if (!opened && (slot.m_bOpen || slot.m_OpenBlock.BufferAddress || slot.m_OpenBlock.StatusAddress ||
                                slot.m_OpenBlock.BufferLength))
                    Fail("a failed open left the slot or its record in use", i);
                if (opened && length != slot.m_OpenBlock.BufferLength) Fail("the length reported is not the record's", i);
            }
            Sleep(250);  // the notifier waits in between
            for (int i = 0; i < kVirtualStreamCount; ++i) channel.CloseStream(i);
        }
    });
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
