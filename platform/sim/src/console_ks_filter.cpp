// A simulated KS audio filter: its property answers and pin creation.
#include <algorithm>
#include <cstring>

#include "platform/sim/include/sim/console_ks_filter.h"
#include "platform/sim/include/sim/console_ks_pin.h"

namespace sim {

namespace {

// Item keys of the filter's growing blocks.
constexpr ULONG kTopologyKey = 0xFFFFFFFE;

template <class T>
std::vector<BYTE> Bytes(const T& value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

std::vector<BYTE> RangeBytes(const KsDataRangeSpec& spec) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = spec.formatSize;
    range.DataRange.MajorFormat = spec.majorFormat;
    range.DataRange.SubFormat = spec.subFormat;
    range.DataRange.Specifier = spec.specifier;
    range.MaximumChannels = spec.maximumChannels;
    range.MinimumBitsPerSample = spec.minimumBits;
    range.MaximumBitsPerSample = spec.maximumBits;
    range.MinimumSampleFrequency = spec.minimumRate;
    range.MaximumSampleFrequency = spec.maximumRate;
    if (spec.attributes) range.DataRange.Flags |= KSDATARANGE_ATTRIBUTES;
    std::vector<BYTE> bytes = Bytes(range);
    // A larger plausible size carries trailing bytes; 0 or an absurd size does not change the layout.
    if (spec.formatSize > sizeof range && spec.formatSize <= 1024) bytes.resize(spec.formatSize, 0);
    // Every range starts 8-byte aligned in the block.
    bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    if (spec.attributes) {
        // KSATTRIBUTE {ULONG Size; ULONG Flags; GUID Attribute} per mode, after the list's header.
        constexpr ULONG kAttributeSize = 24;
        // KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE {E1F89EB5-5F46-419B-967B-FF6770B98401}
        constexpr GUID kModeAttribute = {0xE1F89EB5, 0x5F46, 0x419B, {0x96, 0x7B, 0xFF, 0x67, 0x70, 0xB9, 0x84, 0x01}};
        const KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + spec.attributes * kAttributeSize),
                                     spec.attributes};
        const std::vector<BYTE> head = Bytes(header);
        bytes.insert(bytes.end(), head.begin(), head.end());
        for (ULONG i = 0; i < spec.attributes; ++i) {
            BYTE attribute[kAttributeSize] = {};
            const ULONG size = kAttributeSize;
            std::memcpy(attribute, &size, sizeof size);
            std::memcpy(attribute + 8, &kModeAttribute, sizeof kModeAttribute);
            bytes.insert(bytes.end(), attribute, attribute + kAttributeSize);
        }
        bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    }
    return bytes;
}

std::vector<BYTE> IdentifierBytes(const GUID& set, ULONG id) {
    KSIDENTIFIER identifier{};
    identifier.Set = set;
    identifier.Id = id;
    return Bytes(identifier);
}

// {BAD0BAD0-0000-4000-8000-000000000001}: a medium that is not the standard one.
constexpr GUID kPrivateMedium = {0xBAD0BAD0, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

}  // namespace

KsFilterDevice::KsFilterDevice(Machine& machine, KsFilterSpec spec, std::shared_ptr<KsFaults> faults,
                               std::string name)
    : machine_(machine), spec_(std::move(spec)), faults_(std::move(faults)), name_(std::move(name)) {
    globalInstances_.assign(spec_.pins.size(), 0);
}

DWORD KsFilterDevice::Open(File& file) {
    std::lock_guard lock(machine_.Mutex());
    if (DWORD error = faults_->OpenErrorLocked()) return error;
    auto open = std::make_shared<KsFilterOpen>();
    open->instances.assign(spec_.pins.size(), 0);
    file.context = open;
    ++opens_;
    return ERROR_SUCCESS;
}

void KsFilterDevice::Close(File&) {
    std::lock_guard lock(machine_.Mutex());
    --opens_;
}

std::size_t KsFilterDevice::OpenHandles() {
    std::lock_guard lock(machine_.Mutex());
    return opens_;
}

std::uint64_t KsFilterDevice::PropertyRequests() {
    std::lock_guard lock(machine_.Mutex());
    return propertyRequests_;
}

std::vector<std::shared_ptr<KsPinDevice>> KsFilterDevice::Pins() {
    std::lock_guard lock(machine_.Mutex());
    std::vector<std::shared_ptr<KsPinDevice>> pins;
    for (auto& weak : pins_)
        if (auto pin = weak.lock(); pin && !pin->ClosedLocked()) pins.push_back(pin);
    return pins;
}

void KsFilterDevice::PinOpenedLocked(const std::shared_ptr<KsPinDevice>& pin, KsFilterOpen& open, ULONG pinId) {
    ++open.instances[pinId];
    ++globalInstances_[pinId];
    std::erase_if(pins_, [](const std::weak_ptr<KsPinDevice>& p) { return p.expired(); });
    pins_.push_back(pin);
}

void KsFilterDevice::PinClosedLocked(KsFilterOpen& open, ULONG pinId) {
    if (open.instances[pinId]) --open.instances[pinId];
    if (globalInstances_[pinId]) --globalInstances_[pinId];
}

void KsFilterDevice::Removed() {
    std::lock_guard lock(machine_.Mutex());
    for (auto& weak : pins_)
        if (auto pin = weak.lock()) pin->StopLocked();
}

DWORD KsFilterDevice::Io(File& file, const std::shared_ptr<IoRequest>& request) {
    if (request->kind != IoRequest::Kind::Control || request->code != IOCTL_KS_PROPERTY) return ERROR_INVALID_FUNCTION;
    {
        std::lock_guard lock(machine_.Mutex());
        ++propertyRequests_;
    }
    return faults_->Dispatch(request, kKsAnyPin,
                             [&](const KSPROPERTY& property) { return AnswerLocked(file, *request, property); });
}

DWORD KsFilterDevice::AnswerLocked(File& file, IoRequest& r, const KSPROPERTY& property) {
    if (property.Set == KSPROPSETID_Pin) return AnswerPinLocked(file, r, property);
    if (property.Set == KSPROPSETID_Topology && property.Id == KSPROPERTY_TOPOLOGY_NODES) {
        if (property.Flags != KSPROPERTY_TYPE_GET) return ERROR_INVALID_FUNCTION;
        std::vector<std::vector<BYTE>> items;
        for (auto& node : spec_.nodes) items.push_back(Bytes(node));
        const KsMalformation kind = faults_->MalformationLocked(property.Set, property.Id, kKsAnyPin);
        return faults_->AnswerMultipleLocked(r, items, kind, &growth_[{kTopologyKey, property.Id}]);
    }
    return ERROR_NOT_FOUND;
}

DWORD KsFilterDevice::AnswerPinLocked(File& file, IoRequest& r, const KSPROPERTY& property) {
    const ULONG count = static_cast<ULONG>(spec_.pins.size());
    switch (property.Id) {
        case KSPROPERTY_PIN_CINSTANCES: case KSPROPERTY_PIN_CTYPES: case KSPROPERTY_PIN_DATAFLOW:
        case KSPROPERTY_PIN_DATARANGES: case KSPROPERTY_PIN_INTERFACES: case KSPROPERTY_PIN_MEDIUMS:
        case KSPROPERTY_PIN_COMMUNICATION: case KSPROPERTY_PIN_GLOBALCINSTANCES: case KSPROPERTY_PIN_CATEGORY:
        case KSPROPERTY_PIN_NAME: break;
        default: return ERROR_NOT_FOUND;
    }
    if (property.Flags != KSPROPERTY_TYPE_GET) return ERROR_INVALID_FUNCTION;
    if (property.Id == KSPROPERTY_PIN_CTYPES) return faults_->AnswerValueLocked(r, &count, sizeof count);
    if (r.inSize < sizeof(KSP_PIN)) return ERROR_INVALID_PARAMETER;
    ULONG pinId;
    std::memcpy(&pinId, static_cast<const BYTE*>(r.in) + offsetof(KSP_PIN, PinId), sizeof pinId);
    if (pinId >= count) return ERROR_INVALID_PARAMETER;
    const KsPinSpec& pin = spec_.pins[pinId];
    const KsMalformation kind = faults_->MalformationLocked(property.Set, property.Id, pinId);
    std::uint32_t* growth = &growth_[{pinId, property.Id}];

    switch (property.Id) {
        case KSPROPERTY_PIN_CINSTANCES: {
            auto* open = static_cast<KsFilterOpen*>(file.context.get());
            const KSPIN_CINSTANCES value{pin.possibleInstances, open ? open->instances[pinId] : 0};
            return faults_->AnswerValueLocked(r, &value, sizeof value);
        }
        case KSPROPERTY_PIN_GLOBALCINSTANCES: {
            const KSPIN_CINSTANCES value{pin.globalPossibleInstances, globalInstances_[pinId]};
            return faults_->AnswerValueLocked(r, &value, sizeof value);
        }
        case KSPROPERTY_PIN_DATAFLOW: {
            const ULONG value = pin.dataFlow;
            return faults_->AnswerValueLocked(r, &value, sizeof value);
        }
        case KSPROPERTY_PIN_COMMUNICATION: {
            const ULONG value = pin.communication;
            return faults_->AnswerValueLocked(r, &value, sizeof value);
        }
        case KSPROPERTY_PIN_CATEGORY: return faults_->AnswerValueLocked(r, &pin.category, sizeof pin.category);
        case KSPROPERTY_PIN_DATARANGES: {
            std::vector<std::vector<BYTE>> items;
            for (auto& range : pin.ranges) items.push_back(RangeBytes(range));
            return faults_->AnswerMultipleLocked(r, items, kind, growth);
        }
        case KSPROPERTY_PIN_INTERFACES: {
            std::vector<std::vector<BYTE>> items;
            for (ULONG id : pin.interfaces) items.push_back(IdentifierBytes(KSINTERFACESETID_Standard, id));
            return faults_->AnswerMultipleLocked(r, items, kind, growth);
        }
        case KSPROPERTY_PIN_MEDIUMS: {
            const std::vector<std::vector<BYTE>> items = {
                IdentifierBytes(pin.standardMedium ? KSMEDIUMSETID_Standard : kPrivateMedium, KSMEDIUM_TYPE_ANYINSTANCE)};
            return faults_->AnswerMultipleLocked(r, items, kind, growth);
        }
        case KSPROPERTY_PIN_NAME: {
            std::u16string name = pin.name;
            if (pin.nameTerminated) name.push_back(u'\0');
            const DWORD bytes = static_cast<DWORD>(name.size() * sizeof(char16_t));
            if (pin.nameTerminated || r.outSize == 0 || !r.out) return faults_->AnswerValueLocked(r, name.data(), bytes);
            // A driver that fills the caller's buffer with the name and no terminator.
            const DWORD n = std::min(bytes, r.outSize);
            std::memcpy(r.out, name.data(), n);
            r.information = n;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_NOT_FOUND;
}

DWORD KsFilterDevice::CreatePin(File& filter, void* connect, ACCESS_MASK, std::shared_ptr<Device>* pin) {
    KsConnectRequest request;
    if (!connect) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(machine_.Mutex());
    if (DWORD error = faults_->TakePinCreationErrorLocked()) return error;
    if (DWORD error = ParseConnectRequest(connect, &request)) return error;
    if (request.pinId >= spec_.pins.size()) return ERROR_INVALID_PARAMETER;
    const KsPinSpec& spec = spec_.pins[request.pinId];
    if (spec.communication == KSPIN_COMMUNICATION_NONE || spec.communication == KSPIN_COMMUNICATION_BRIDGE)
        return ERROR_INVALID_FUNCTION;
    if (!request.standardInterface ||
        std::find(spec.interfaces.begin(), spec.interfaces.end(), request.interfaceId) == spec.interfaces.end())
        return ERROR_NO_MATCH;
    if (!request.standardMedium || !spec.standardMedium) return ERROR_NO_MATCH;
    if (DWORD error = PinAcceptsFormat(spec, request.format)) return error;
    auto open = std::static_pointer_cast<KsFilterOpen>(filter.context);
    if (!open) return ERROR_INVALID_HANDLE;
    if (open->instances[request.pinId] >= spec.possibleInstances ||
        globalInstances_[request.pinId] >= spec.globalPossibleInstances)
        return ERROR_BUSY;
    *pin = std::make_shared<KsPinDevice>(machine_, shared_from_this(), open, request.pinId, spec, spec_.rt,
                                         request.format,
                                         request.interfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING, faults_);
    return ERROR_SUCCESS;
}

}  // namespace sim
