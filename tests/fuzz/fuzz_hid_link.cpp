// The console's HID link from fuzz input: the node's container id and base container id properties (any
// type and size),
// the identity the HID class driver reports (ids, version, report lengths, a serial of any length), and
// the channel-mask exchange (output reports accepted, refused or never completed; input reports of any
// length and content, at once or late), with the supervisor publishing identity and applying masks.
//
// Keys: 50 identity (mode bit 0: unavailable; bit 1: the collection carries output report 1 and input
// report 2; bytes: vendor, product, version, input and output report lengths, 2 bytes each, then the
// serial's UTF-16 units), 51 output report answer (mode: 0 accepted,
// 1 never completed, else refused), 52 input report (mode: 0 at once, 1 never, 2 after 1-255 ms given by
// the first byte, else a read error), 53 container id property (mode: fuzz::PropertyType, bytes: data),
// 54 the number of polls (first byte, at most 8), 55 base container id property (as 53; read only when
// the node has no container id).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Service/Quillon/supervisor/ConsoleHidLink.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "platform/sim/include/sim/hid.h"
#include "tests/fuzz/FuzzAnswers.h"
#include "tests/fuzz/FuzzDriver.h"
#include "tests/fuzz/FuzzRepeat.h"
#include "tests/fuzz/FuzzSupervisor.h"

namespace {

constexpr GUID kContainer = {0x5e1a7c00, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};

class FuzzHid final : public sim::HidDevice {
public:
    FuzzHid(sim::Machine& m, fuzz::Answers& a) : machine(m), answers(a) {}
    std::string Describe() const override { return "fuzzed HID device"; }

    bool HidIdentity(Identity* identity) override {
        const fuzz::Answer* a = answers.Next(50);
        if (!a || (a->mode & 1)) return false;
        auto u16 = [&](std::size_t at) { return static_cast<USHORT>(a->U32(at) & 0xFFFF); };
        identity->vendorId = u16(0);
        identity->productId = u16(2);
        identity->versionNumber = u16(4);
        identity->inputReportLength = u16(6);
        identity->outputReportLength = u16(8);
        if (a->mode & 2) {
            identity->inputReports = {0x02};
            identity->outputReports = {0x01};
        }
        for (std::size_t at = 10; at + 1 < a->bytes.size(); at += 2)
            identity->serial.push_back(static_cast<char16_t>(a->bytes[at] | (a->bytes[at + 1] << 8)));
        return true;
    }

    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
        if (r->kind == sim::IoRequest::Kind::Write) {
            const fuzz::Answer* a = answers.Next(51);
            const int mode = a ? a->mode % 3 : 0;
            if (mode == 1) return ERROR_IO_PENDING;  // held until cancelled
            if (mode == 2) return ERROR_GEN_FAILURE;
            r->information = r->inSize;
            return ERROR_SUCCESS;
        }
        if (r->kind != sim::IoRequest::Kind::Read) return ERROR_INVALID_FUNCTION;
        const fuzz::Answer* a = answers.Next(52);
        if (!a) return ERROR_IO_PENDING;
        const int mode = a->mode % 4;
        if (mode == 1) return ERROR_IO_PENDING;
        if (mode == 3) return ERROR_DEVICE_NOT_CONNECTED;
        // A device reports at most the buffer it was given; the count says what it wrote.
        const std::vector<std::uint8_t> report(a->bytes.begin() + (mode == 2 && !a->bytes.empty()), a->bytes.end());
        const DWORD n = std::min<DWORD>(static_cast<DWORD>(report.size()), r->outSize);
        if (n) std::memcpy(r->out, report.data(), n);
        if (mode == 0) {
            r->information = n;
            return ERROR_SUCCESS;
        }
        const std::uint32_t delay = a->bytes.empty() ? 1 : 1 + a->bytes[0];
        std::lock_guard lock(machine.Mutex());
        machine.AddTimerLocked(machine.Now() + delay * sim::kTicksPerMs, [r, n] { r->CompleteLocked(ERROR_SUCCESS, n); });
        return ERROR_IO_PENDING;
    }

    sim::Machine& machine;
    fuzz::Answers& answers;
};

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    fuzz::InstallDriver(driver);

    sim::DeviceNode node;
    node.instanceId = "HID\\VID_7A3E&PID_0072&MI_03\\7&FUZZ&0&0000";
    node.hardwareIds = {"HID\\VID_7A3E&PID_0072&MI_03"};
    node.containerId = kContainer;
    node.setupClass = sim::kHidSetupClass;
    node.friendlyName = "HID-compliant device";
    if (const fuzz::Answer* p = answers.Next(53))
        node.properties.push_back({DEVPKEY_Device_ContainerId, fuzz::PropertyType(p->mode), p->bytes});
    if (const fuzz::Answer* p = answers.Next(55))
        node.properties.push_back({DEVPKEY_Device_BaseContainerId, fuzz::PropertyType(p->mode), p->bytes});
    sim::DeviceInterface iface;
    iface.interfaceClass = sim::kHidInterfaceClass;
    iface.path = sim::DeviceTree::InterfacePath(node.instanceId, sim::kHidInterfaceClass);
    iface.device = std::make_shared<FuzzHid>(machine, answers);
    machine.Devices().AddDevice(node, {iface});
    const fuzz::Answer* polls = answers.Next(54);
    const int pollCount = polls && !polls->bytes.empty() ? polls->bytes[0] % 9 : 2;

    fuzz::RunWithSupervisor(machine, [&](CConsoleSupervisor& supervisor) {
        ConsoleHidLink& link = supervisor.m_StreamManager.SpareHidLink();
        if (!OpenByContainerId(kContainer, link)) return;
        supervisor.m_pCurrentModel = &QuillonAlto();
        PublishConsoleIdentity(supervisor, QuillonAlto(), link);
        for (int i = 0; i < pollCount; ++i) PollChannelMask(supervisor, link);
        ConsoleHidLink copy;
        CopyFrom(copy, link);
        CloseLink(copy);
        CloseLink(link);
    });
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
