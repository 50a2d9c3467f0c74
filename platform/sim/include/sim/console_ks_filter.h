// sim::KsFilterDevice: one simulated Kernel Streaming filter as an audio driver exposes it. Opened with
// CreateFileW on its interface path, it answers IOCTL_KS_PROPERTY for KSPROPSETID_Pin (per pin: instances,
// data flow, data ranges, interfaces, mediums, communication, global instances, category, name; and the
// pin count) and KSPROPSETID_Topology nodes, with ERROR_NOT_FOUND for anything else, and creates pin
// instances (sim::KsPinDevice) for KsCreatePin/KsCreatePin2 after checking the connection request
// against the pin's interfaces, mediums, data ranges, layouts and instance limits.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/include/sim/console_ks_faults.h"
#include "platform/sim/include/sim/console_ks_descriptions.h"
#include "platform/sim/include/sim/devices.h"

namespace sim {

class KsPinDevice;

// Per filter handle: the pin instances created through it, per pin id.
struct KsFilterOpen {
    std::vector<ULONG> instances;
};

class KsFilterDevice final : public Device, public std::enable_shared_from_this<KsFilterDevice> {
public:
    KsFilterDevice(Machine& machine, KsFilterSpec spec, std::shared_ptr<KsFaults> faults, std::string name);

    std::string Describe() const override { return name_; }
    DWORD Open(File& file) override;
    void Close(File& file) override;
    DWORD Io(File& file, const std::shared_ptr<IoRequest>& request) override;
    void Removed() override;
    DWORD CreatePin(File& filter, void* connect, ACCESS_MASK access, std::shared_ptr<Device>* pin) override;

    // Test side.
    const KsFilterSpec& Spec() const { return spec_; }
    KsFaults& Faults() { return *faults_; }
    std::size_t OpenHandles();
    std::uint64_t PropertyRequests();                  // IOCTL_KS_PROPERTY requests received
    std::vector<std::shared_ptr<KsPinDevice>> Pins();  // open pin instances, oldest first

    // Pin side, machine lock held.
    void PinOpenedLocked(const std::shared_ptr<KsPinDevice>& pin, KsFilterOpen& open, ULONG pinId);
    void PinClosedLocked(KsFilterOpen& open, ULONG pinId);

private:
    DWORD AnswerLocked(File& file, IoRequest& request, const KSPROPERTY& property);
    DWORD AnswerPinLocked(File& file, IoRequest& request, const KSPROPERTY& property);

    Machine& machine_;
    const KsFilterSpec spec_;
    std::shared_ptr<KsFaults> faults_;
    const std::string name_;
    std::size_t opens_ = 0;
    std::uint64_t propertyRequests_ = 0;
    std::vector<ULONG> globalInstances_;
    std::vector<std::weak_ptr<KsPinDevice>> pins_;
    std::map<std::pair<ULONG, ULONG>, std::uint32_t> growth_;  // (pin or node set, property) -> items grown
};

}  // namespace sim
