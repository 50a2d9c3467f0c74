// Small KS devices for the KS layer's tests: a filter that answers KSPROPSETID_Pin and the topology the
// way a driver does (size queries with ERROR_MORE_DATA and the needed size, a too-small buffer refused,
// ERROR_NOT_FOUND for what it does not support), with knobs for failing, pended and malformed answers,
// and the pin instances it creates (state, position, WaveRT buffer and events, stream requests).
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/simwin.h"

namespace kstest {

inline KSIDENTIFIER Identifier(const GUID& set, ULONG id) {
    KSIDENTIFIER value{};
    value.Set = set;
    value.Id = id;
    return value;
}

inline KSDATARANGE_AUDIO AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate = 44100,
                                    ULONG maxRate = 48000, const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = sub;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

inline std::vector<BYTE> MultipleItem(const void* elements, ULONG bytes, ULONG count) {
    std::vector<BYTE> block(sizeof(KSMULTIPLE_ITEM) + bytes);
    KSMULTIPLE_ITEM item{static_cast<ULONG>(block.size()), count};
    std::memcpy(block.data(), &item, sizeof item);
    if (bytes) std::memcpy(block.data() + sizeof item, elements, bytes);
    return block;
}

struct PinSpec {
    ULONG communication = KSPIN_COMMUNICATION_SINK;
    ULONG dataFlow = KSPIN_DATAFLOW_IN;
    bool looped = false;  // interfaces: looped first, then standard
    std::vector<KSDATARANGE_AUDIO> ranges = {AudioRange(16, 16, 32)};
    std::u16string name = u"Pin";
    std::vector<BYTE> rangesBlock;      // when set: the KSPROPERTY_PIN_DATARANGES answer as is
    std::vector<BYTE> interfacesBlock;  // when set: the KSPROPERTY_PIN_INTERFACES answer as is
    DWORD createError = ERROR_SUCCESS;
};

// One property request as the device saw it.
struct Request {
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG pinId;  // KSPROPSETID_Pin: the pin id
    ULONG inSize;
    ULONG outSize;
};

class TestPin;

class TestFilter : public sim::Device {
public:
    explicit TestFilter(sim::Machine& m) : machine(m) {}

    std::vector<PinSpec> pins;
    std::vector<GUID> nodes;
    std::map<std::pair<ULONG, ULONG>, DWORD> failures;  // (set Data1, id) -> error
    std::map<std::pair<ULONG, ULONG>, DWORD> pendMs;    // (set Data1, id) -> answered (or failed) this much later
    ULONG growAfterQuery = 0;            // a multiple-item answer grows by this after its size query
    bool nameWithoutTerminator = false;  // the pin name fills whatever buffer it gets
    ULONG pinCount = 0;                  // when set: the KSPROPERTY_PIN_CTYPES answer (else the pins there are)
    bool record = true;
    DWORD refuseOpen = ERROR_SUCCESS;  // CreateFileW on the filter fails with this
    std::vector<Request> requests;
    std::vector<std::vector<BYTE>> connects;  // every KSPIN_CONNECT with its data format
    std::vector<std::shared_ptr<TestPin>> created;

    DWORD Open(sim::File&) override { return refuseOpen; }
    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override;
    DWORD CreatePin(sim::File&, void* connect, ACCESS_MASK, std::shared_ptr<sim::Device>* pin) override;
    std::vector<BYTE> Answer(const KSP_PIN& request, bool* found);

    sim::Machine& machine;
};

class TestPin : public sim::Device {
public:
    explicit TestPin(sim::Machine& m) : machine(m) {}
    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override;

    std::vector<ULONG> states;                     // every state set, in order
    std::map<ULONG, DWORD> failState;              // state -> error
    std::vector<ULONG> bufferRequests;             // requested sizes, both buffer properties
    ULONG minBuffer = 0;                           // smaller buffer requests are refused
    bool noNotification = false;                   // the property with notification is unknown
    std::vector<HANDLE> registered, unregistered;  // notification events
    std::vector<ULONG> durations;
    std::vector<DWORD> streamCodes;
    ULONG positionRegisterRequests = 0;
    BYTE buffer[4096] = {};
    sim::Machine& machine;
};

inline DWORD Reply(sim::IoRequest& r, const std::vector<BYTE>& answer) {
    if (r.outSize == 0) {
        r.information = static_cast<DWORD>(answer.size());
        return answer.empty() ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    if (r.outSize < answer.size()) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(r.out, answer.data(), answer.size());
    r.information = static_cast<DWORD>(answer.size());
    return ERROR_SUCCESS;
}

template <class T>
std::vector<BYTE> Bytes(const T& value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

inline std::vector<BYTE> TestFilter::Answer(const KSP_PIN& request, bool* found) {
    *found = true;
    const KSPROPERTY& p = request.Property;
    if (p.Set == KSPROPSETID_Topology && p.Id == KSPROPERTY_TOPOLOGY_NODES)
        return MultipleItem(nodes.data(), static_cast<ULONG>(nodes.size() * sizeof(GUID)),
                            static_cast<ULONG>(nodes.size()));
    if (p.Set != KSPROPSETID_Pin) {
        *found = false;
        return {};
    }
    if (p.Id == KSPROPERTY_PIN_CTYPES) return Bytes(pinCount ? pinCount : static_cast<ULONG>(pins.size()));
    if (request.PinId >= pins.size()) {
        *found = false;
        return {};
    }
    const PinSpec& pin = pins[request.PinId];
    switch (p.Id) {
    case KSPROPERTY_PIN_COMMUNICATION: return Bytes(pin.communication);
    case KSPROPERTY_PIN_DATAFLOW: return Bytes(pin.dataFlow);
    case KSPROPERTY_PIN_CINSTANCES:
    case KSPROPERTY_PIN_GLOBALCINSTANCES: return Bytes(KSPIN_CINSTANCES{1, 0});
    case KSPROPERTY_PIN_CATEGORY: return Bytes(KSNODETYPE_SPEAKER);
    case KSPROPERTY_PIN_INTERFACES: {
        if (!pin.interfacesBlock.empty()) return pin.interfacesBlock;
        std::vector<KSIDENTIFIER> ids = {Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING)};
        if (pin.looped)
            ids.insert(ids.begin(), Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING));
        return MultipleItem(ids.data(), static_cast<ULONG>(ids.size() * sizeof(KSIDENTIFIER)),
                            static_cast<ULONG>(ids.size()));
    }
    case KSPROPERTY_PIN_MEDIUMS: {
        const KSIDENTIFIER medium = Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE);
        return MultipleItem(&medium, sizeof medium, 1);
    }
    case KSPROPERTY_PIN_DATARANGES:
        if (!pin.rangesBlock.empty()) return pin.rangesBlock;
        return MultipleItem(pin.ranges.data(), static_cast<ULONG>(pin.ranges.size() * sizeof(KSDATARANGE_AUDIO)),
                            static_cast<ULONG>(pin.ranges.size()));
    case KSPROPERTY_PIN_NAME: {
        std::vector<BYTE> bytes((pin.name.size() + 1) * sizeof(char16_t));
        std::memcpy(bytes.data(), pin.name.c_str(), bytes.size());
        return bytes;
    }
    }
    *found = false;
    return {};
}

inline DWORD TestFilter::Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) {
    if (r->code != IOCTL_KS_PROPERTY || r->inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_FUNCTION;
    KSP_PIN request{};
    std::memcpy(&request, r->in, std::min<size_t>(r->inSize, sizeof request));
    const KSPROPERTY& p = request.Property;
    if (record) requests.push_back({p.Set, p.Id, p.Flags, request.PinId, r->inSize, r->outSize});
    const auto key = std::make_pair(p.Set.Data1, p.Id);
    if (auto f = failures.find(key); f != failures.end()) {
        // With a pend as well: the request pends and then fails.
        if (auto pend = pendMs.find(key); pend != pendMs.end()) {
            const DWORD error = f->second;
            std::lock_guard lock(machine.Mutex());
            machine.AddTimerLocked(machine.Now() + pend->second * sim::kTicksPerMs,
                                   [r, error] { r->CompleteLocked(error, 0); });
            return ERROR_IO_PENDING;
        }
        return f->second;
    }
    bool found = false;
    std::vector<BYTE> answer = Answer(request, &found);
    if (!found) return ERROR_NOT_FOUND;
    const bool multi = p.Set == KSPROPSETID_Topology ||
                       (p.Set == KSPROPSETID_Pin && (p.Id == KSPROPERTY_PIN_DATARANGES ||
                                                     p.Id == KSPROPERTY_PIN_INTERFACES || p.Id == KSPROPERTY_PIN_MEDIUMS));
    if (p.Set == KSPROPSETID_Pin && p.Id == KSPROPERTY_PIN_NAME && nameWithoutTerminator && r->outSize) {
        std::memset(r->out, 'A', r->outSize);
        r->information = r->outSize;
        return ERROR_SUCCESS;
    }
    if (multi && growAfterQuery && r->outSize && answer.size() >= sizeof(KSMULTIPLE_ITEM)) {
        // The device changed after the size query: its list now says more than the caller has room for,
        // and the driver copies what fits.
        KSMULTIPLE_ITEM item;
        std::memcpy(&item, answer.data(), sizeof item);
        item.Size += growAfterQuery;
        item.Count += 1;
        std::memcpy(answer.data(), &item, sizeof item);
        const DWORD n = std::min<DWORD>(r->outSize, static_cast<DWORD>(answer.size()));
        std::memcpy(r->out, answer.data(), n);
        r->information = n;
        return ERROR_SUCCESS;
    }
    if (p.Id == KSPROPERTY_PIN_NAME && r->outSize && r->outSize < answer.size()) return ERROR_INSUFFICIENT_BUFFER;
    if (auto pend = pendMs.find(key); pend != pendMs.end() && r->outSize) {
        const DWORD error = Reply(*r, answer);
        const DWORD bytes = r->information;
        std::lock_guard lock(machine.Mutex());
        machine.AddTimerLocked(machine.Now() + pend->second * sim::kTicksPerMs,
                               [r, error, bytes] { r->CompleteLocked(error, bytes); });
        return ERROR_IO_PENDING;
    }
    return Reply(*r, answer);
}

inline DWORD TestFilter::CreatePin(sim::File&, void* connect, ACCESS_MASK, std::shared_ptr<sim::Device>* pin) {
    const auto* c = static_cast<const KSPIN_CONNECT*>(connect);
    const auto* format = reinterpret_cast<const KSDATAFORMAT*>(c + 1);
    std::vector<BYTE> bytes(sizeof(KSPIN_CONNECT) + format->FormatSize);
    std::memcpy(bytes.data(), connect, bytes.size());
    connects.push_back(bytes);
    if (c->PinId >= pins.size()) return ERROR_NOT_FOUND;
    if (pins[c->PinId].createError) return pins[c->PinId].createError;
    auto instance = std::make_shared<TestPin>(machine);
    created.push_back(instance);
    *pin = instance;
    return ERROR_SUCCESS;
}

inline DWORD TestPin::Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) {
    if (r->code == IOCTL_KS_READ_STREAM || r->code == IOCTL_KS_WRITE_STREAM) {
        streamCodes.push_back(r->code);
        return ERROR_IO_PENDING;  // held until the pin is closed
    }
    if (r->code != IOCTL_KS_PROPERTY || r->inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_FUNCTION;
    KSPROPERTY p;
    std::memcpy(&p, r->in, sizeof p);
    const BYTE* instance = static_cast<const BYTE*>(r->in) + sizeof p;
    if (p.Set == KSPROPSETID_Connection && p.Id == KSPROPERTY_CONNECTION_STATE && p.Flags == KSPROPERTY_TYPE_SET) {
        ULONG state;
        std::memcpy(&state, r->out, sizeof state);
        states.push_back(state);
        if (auto f = failState.find(state); f != failState.end()) return f->second;
        return ERROR_SUCCESS;
    }
    if (p.Set == KSPROPSETID_Audio && p.Id == KSPROPERTY_AUDIO_POSITION) return Reply(*r, Bytes(KSAUDIO_POSITION{100, 200}));
    if (p.Set == KSPROPSETID_AudioBufferDuration) {
        // The ULONG is the property's value; a request without one is refused as a driver refuses it.
        if (!r->out || r->outSize < sizeof(ULONG)) return ERROR_INVALID_PARAMETER;
        ULONG value;
        std::memcpy(&value, r->out, sizeof value);
        durations.push_back(value);
        return ERROR_SUCCESS;
    }
    if (p.Set != KSPROPSETID_RtAudio) return ERROR_NOT_FOUND;
    switch (p.Id) {
    case KSPROPERTY_RTAUDIO_BUFFER:
    case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION: {
        ULONG requested;
        std::memcpy(&requested, instance + 8, sizeof requested);
        bufferRequests.push_back(requested);
        if (noNotification && p.Id == KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION) return ERROR_NOT_FOUND;
        if (requested < minBuffer) return ERROR_INVALID_PARAMETER;
        return Reply(*r, Bytes(KSRTAUDIO_BUFFER{buffer, std::min<ULONG>(requested, sizeof buffer), FALSE}));
    }
    case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
    case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT: {
        HANDLE event;
        std::memcpy(&event, instance, sizeof event);
        (p.Id == KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT ? registered : unregistered).push_back(event);
        return ERROR_SUCCESS;
    }
    case KSPROPERTY_RTAUDIO_POSITIONREGISTER:
        ++positionRegisterRequests;
        return Reply(*r, Bytes(KSRTAUDIO_HWREGISTER{buffer, 32, 1, 1, 0}));
    }
    return ERROR_NOT_FOUND;
}

// Plugs a filter as the one KS interface of a node of its own (no aliases); returns its path.
inline std::u16string PlugFilter(sim::Machine& machine, std::shared_ptr<TestFilter> filter, const std::string& id) {
    const std::string instance = "ROOT\\KSTEST\\" + id;
    const std::u16string path = sim::DeviceTree::InterfacePath(instance, KSCATEGORY_AUDIO, "wave");
    machine.Devices().AddDevice({instance, {"ROOT\\KSTEST"}, "", {}, {}, "KS test " + id, 0, {}},
                                {{KSCATEGORY_AUDIO, path, std::move(filter), SPINT_ACTIVE, ""}});
    return path;
}

// Runs body in a simulated process: process-wide state (the pin creation function) lives there.
inline void InProcess(sim::Machine& machine, const std::function<void()>& body) {
    sim::ProgramSpec spec;
    spec.imageName = "kstest.exe";
    bool ran = false;
    spec.entry = [&](HINSTANCE) {
        body();
        ran = true;
        return 0;
    };
    const bool ended = machine.WaitProcess(machine.StartProcess(spec), 3'600'000);
    EXPECT_TRUE(ended && ran);
}

}  // namespace kstest
