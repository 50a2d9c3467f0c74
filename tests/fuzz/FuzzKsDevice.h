// A KS filter and its pin instances that answer every property request from fuzz input (FuzzAnswers.h).
//
// Keys (one per request the KS layer makes):
//   0-14  filter: the KSPROPSETID_Pin properties in property-id order (kPinKey + id) and the topology
//         node list (kNodesKey)
//   16-24 pin instance: state, RT buffer, RT buffer with notification, event (un)registration, position
//         register, position, buffer duration
//   25    KsCreatePin (mode 0 creates, otherwise fails), 26 stream requests (read and write)
// Modes of an answer (mode % 8):
//   0 a well-behaved driver: a size query gets ERROR_MORE_DATA and the size, a buffer too small
//     ERROR_INSUFFICIENT_BUFFER, otherwise the bytes
//   1 the bytes that fit, success, and a count that says all of them (overstated when they do not fit)
//   2 the bytes that fit, success, and the count of those
//   3 ERROR_MORE_DATA with the first four bytes as the count (a size query that lies)
//   4 as 0, but pended and completed 1 ms later
//   5 ERROR_NOT_FOUND, 6 ERROR_GEN_FAILURE, 7 ERROR_INVALID_PARAMETER
// Without an answer a request fails with ERROR_NOT_FOUND (a property the driver does not support).
//
// Packet mode (FuzzFilter::packets, off unless a harness turns it on) makes the pins stream:
//   27    each stream request (read or write). mode % 8: 0 completes with the header patched after the
//         delay, 1 the same but reports no bytes, 2 / 3 / 4 completes with ERROR_GEN_FAILURE /
//         ERROR_DEVICE_NOT_CONNECTED / ERROR_OPERATION_ABORTED after the delay, 5 fails at once, 6 is held
//         until cancelled, 7 completes at once, patched (once per ms of machine time; otherwise as 0).
//         bytes: [0] delay in ms (at least 1), [1] mask of the fields written back (bits 0-7 in this
//         order), then at fixed places DataUsed [2-5], FrameExtent [6-9], Size [10-13], OptionsFlags
//         [14-17], PresentationTime.Time [18-25], .Numerator [26-29], .Denominator [30-33], Duration
//         [34-41]; TypeSpecificFlags [42-45] when byte 46 has bit 0 set. A read whose DataUsed is not
//         written back is full (DataUsed = FrameExtent), as a well-behaved driver leaves it. Without any
//         record every request completes, patched so, 2 ms later.
//   28, 29 KSPROPERTY_RTAUDIO_GETREADPACKET and SETWRITEPACKET
//   31    the WaveRT driver's ticks once an event is registered, one record a tick. mode % 4: 0 signals the
//         event, 1 does not, 2 signals it and writes the bytes, 3 writes them only. bytes: [0] ms to the next
//         tick (at least 1), [1-4] the position register's new value, [5-8] an offset in the buffer, then
//         bytes written there (cut at the buffer's end). Without a record a tick signals every 2 ms.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/simwin.h"
#include "tests/fuzz/FuzzAnswers.h"

namespace fuzz {

inline constexpr std::uint8_t kPinKey = 0;     // + KSPROPERTY_PIN_* (CINSTANCES 0 .. NAME 12)
inline constexpr std::uint8_t kNodesKey = 14;  // KSPROPERTY_TOPOLOGY_NODES
inline constexpr std::uint8_t kStateKey = 16;
inline constexpr std::uint8_t kRtBufferKey = 17;
inline constexpr std::uint8_t kRtNotifyBufferKey = 18;
inline constexpr std::uint8_t kRegisterKey = 19;
inline constexpr std::uint8_t kUnregisterKey = 20;
inline constexpr std::uint8_t kPositionRegisterKey = 21;
inline constexpr std::uint8_t kPositionKey = 22;
inline constexpr std::uint8_t kDurationKey = 23;
inline constexpr std::uint8_t kCreatePinKey = 25;
inline constexpr std::uint8_t kStreamKey = 26;
inline constexpr std::uint8_t kPacketKey = 27;
inline constexpr std::uint8_t kReadPacketKey = 28;
inline constexpr std::uint8_t kWritePacketKey = 29;
inline constexpr std::uint8_t kTickKey = 31;

// A stream request's header as a driver leaves it at completion: the fields the answer's mask chooses
// (KSSTREAM_HEADER's Data is the caller's and stays). Machine lock held, request not completed.
inline void PatchHeader(sim::IoRequest& r, const Answer* a) {
    KSSTREAM_HEADER h;
    std::memcpy(&h, r.out, sizeof h);
    const std::uint32_t mask = a && a->bytes.size() > 1 ? a->bytes[1] : 0;
    auto u64 = [&](std::size_t at) { return std::uint64_t{a->U32(at)} | (std::uint64_t{a->U32(at + 4)} << 32); };
    const bool dataUsedGiven = (mask & 1) != 0;
    if (dataUsedGiven) h.DataUsed = a->U32(2);
    if (mask & 2) h.FrameExtent = a->U32(6);
    if (mask & 4) h.Size = a->U32(10);
    if (mask & 8) h.OptionsFlags = a->U32(14);
    if (mask & 16) h.PresentationTime.Time = static_cast<LONGLONG>(u64(18));
    if (mask & 32) h.PresentationTime.Numerator = a->U32(26);
    if (mask & 64) h.PresentationTime.Denominator = a->U32(30);
    if (mask & 128) h.Duration = static_cast<LONGLONG>(u64(34));
    if (a && a->bytes.size() > 46 && (a->bytes[46] & 1)) h.TypeSpecificFlags = a->U32(42);
    if (!dataUsedGiven && r.code == IOCTL_KS_READ_STREAM) h.DataUsed = h.FrameExtent;
    std::memcpy(r.out, &h, sizeof h);
}

// Answers request r from answer a (null: not supported) as the mode says.
inline DWORD AnswerRequest(sim::Machine& machine, const std::shared_ptr<sim::IoRequest>& r, const Answer* a) {
    if (!a) return ERROR_NOT_FOUND;
    const std::vector<std::uint8_t>& bytes = a->bytes;
    const DWORD size = static_cast<DWORD>(bytes.size());
    const DWORD fit = std::min(size, r->outSize);
    switch (a->mode % 8) {
    case 0:
    case 4: {
        DWORD error = ERROR_SUCCESS;
        if (r->outSize == 0) {
            r->information = size;
            error = size ? ERROR_MORE_DATA : ERROR_SUCCESS;
        } else if (r->outSize < size) {
            return ERROR_INSUFFICIENT_BUFFER;
        } else {
            if (size) std::memcpy(r->out, bytes.data(), size);
            r->information = size;
        }
        if (a->mode % 8 == 0) return error;
        const DWORD count = r->information;
        std::lock_guard lock(machine.Mutex());
        machine.AddTimerLocked(machine.Now() + sim::kTicksPerMs, [r, error, count] { r->CompleteLocked(error, count); });
        return ERROR_IO_PENDING;
    }
    case 1:
    case 2:
        if (fit) std::memcpy(r->out, bytes.data(), fit);
        r->information = a->mode % 8 == 1 ? size : fit;
        return ERROR_SUCCESS;
    case 3: r->information = a->U32(); return ERROR_MORE_DATA;
    case 5: return ERROR_NOT_FOUND;
    case 6: return ERROR_GEN_FAILURE;
    default: return ERROR_INVALID_PARAMETER;
    }
}

// A pin instance: its properties from the answers; its WaveRT buffer and position register are memory of
// its own whose size the answers choose (a driver's mapping is trusted memory of the size it states).
class FuzzPin : public sim::Device, public std::enable_shared_from_this<FuzzPin> {
public:
    FuzzPin(sim::Machine& m, Answers& a) : machine(m), answers(a) {}

    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
        if ((r->code == IOCTL_KS_READ_STREAM || r->code == IOCTL_KS_WRITE_STREAM) && packets) return QueuePacket(r);
        if (r->code == IOCTL_KS_READ_STREAM || r->code == IOCTL_KS_WRITE_STREAM) {
            const Answer* a = answers.Next(kStreamKey);
            if (!a || a->mode % 8 == 0) return ERROR_IO_PENDING;  // held until the pin is closed
            return AnswerRequest(machine, r, a);
        }
        if (r->code != IOCTL_KS_PROPERTY || r->inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_FUNCTION;
        KSPROPERTY p;
        std::memcpy(&p, r->in, sizeof p);
        if (p.Set == KSPROPSETID_Connection && p.Id == KSPROPERTY_CONNECTION_STATE)
            return AnswerRequest(machine, r, answers.Next(kStateKey));
        if (p.Set == KSPROPSETID_Audio && p.Id == KSPROPERTY_AUDIO_POSITION)
            return AnswerRequest(machine, r, answers.Next(kPositionKey));
        if (p.Set == KSPROPSETID_AudioBufferDuration) return AnswerRequest(machine, r, answers.Next(kDurationKey));
        if (p.Set != KSPROPSETID_RtAudio) return ERROR_NOT_FOUND;
        switch (p.Id) {
        case KSPROPERTY_RTAUDIO_BUFFER:
        case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION: {
            const Answer* a = answers.Next(p.Id == KSPROPERTY_RTAUDIO_BUFFER ? kRtBufferKey : kRtNotifyBufferKey);
            if (!a || a->mode % 8 != 0) return AnswerRequest(machine, r, a);
            // The size the driver states, and a mapping of that size (bounded to keep inputs fast).
            const ULONG stated = a->U32() % 0x20000;
            {
                std::lock_guard lock(machine.Mutex());  // the ticks write the newest buffer
                buffers.emplace_back(stated);
            }
            KSRTAUDIO_BUFFER answer{buffers.back().empty() ? nullptr : buffers.back().data(), stated, FALSE};
            Answer made{0, std::vector<std::uint8_t>(sizeof answer)};
            std::memcpy(made.bytes.data(), &answer, sizeof answer);
            return AnswerRequest(machine, r, &made);
        }
        case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT: {
            const DWORD result = AnswerRequest(machine, r, answers.Next(kRegisterKey));
            if (packets && result == ERROR_SUCCESS) StartTicks(r);
            return result;
        }
        case KSPROPERTY_RTAUDIO_GETREADPACKET:
            if (packets) return AnswerRequest(machine, r, answers.Next(kReadPacketKey));
            break;
        case KSPROPERTY_RTAUDIO_SETWRITEPACKET:
            if (packets) return AnswerRequest(machine, r, answers.Next(kWritePacketKey));
            break;
        case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT:
            return AnswerRequest(machine, r, answers.Next(kUnregisterKey));
        case KSPROPERTY_RTAUDIO_POSITIONREGISTER: {
            const Answer* a = answers.Next(kPositionRegisterKey);
            if (!a || a->mode % 8 != 0) return AnswerRequest(machine, r, a);
            KSRTAUDIO_HWREGISTER reg{registerWord, a->U32() % 65, 1, 1, 0};
            Answer made{0, std::vector<std::uint8_t>(sizeof reg)};
            std::memcpy(made.bytes.data(), &reg, sizeof reg);
            return AnswerRequest(machine, r, &made);
        }
        }
        return ERROR_NOT_FOUND;
    }

    // Packet mode: a stream request answered as kPacketKey says.
    DWORD QueuePacket(const std::shared_ptr<sim::IoRequest>& r) {
        if (!r->out || r->outSize < sizeof(KSSTREAM_HEADER)) return ERROR_INVALID_PARAMETER;
        const Answer* a = answers.Next(kPacketKey);
        const std::uint8_t mode = a ? a->mode % 8 : 0;
        std::lock_guard lock(machine.Mutex());
        KSSTREAM_HEADER header;
        std::memcpy(&header, r->out, sizeof header);
        submitted.push_back(header);
        if (mode == 5) return ERROR_GEN_FAILURE;
        if (mode == 6) return ERROR_IO_PENDING;  // held until cancelled
        // At once, but once per ms of machine time at most: a driver cannot fill packets faster than the
        // clock, and the machine's clock stands still while the stream thread keeps resubmitting.
        if (mode == 7 && machine.Now() != lastImmediate) {
            lastImmediate = machine.Now();
            PatchHeader(*r, a);
            r->information = sizeof(KSSTREAM_HEADER);
            return ERROR_SUCCESS;
        }
        const DWORD error = mode == 2 ? ERROR_GEN_FAILURE
                            : mode == 3 ? ERROR_DEVICE_NOT_CONNECTED
                            : mode == 4 ? ERROR_OPERATION_ABORTED
                                        : ERROR_SUCCESS;
        const DWORD bytes = mode == 1 ? 0 : sizeof(KSSTREAM_HEADER);
        const std::uint32_t delayMs = a && !a->bytes.empty() ? std::max<std::uint32_t>(1, a->bytes[0]) : 2;
        machine.AddTimerLocked(machine.Now() + delayMs * sim::kTicksPerMs, [r, a, error, bytes] {
            if (r->IsCompletedLocked()) return;  // cancelled: the header may be gone
            if (error == ERROR_SUCCESS) PatchHeader(*r, a);
            r->CompleteLocked(error, bytes);
        });
        return ERROR_IO_PENDING;
    }

    // Packet mode: the registered event is signalled (and the buffer and position register written) on
    // ticks as kTickKey says, until the pin is closed.
    void StartTicks(const std::shared_ptr<sim::IoRequest>& r) {
        HANDLE handle = nullptr;
        if (r->inSize < sizeof(KSPROPERTY) + sizeof handle) return;
        std::memcpy(&handle, static_cast<const BYTE*>(r->in) + sizeof(KSPROPERTY), sizeof handle);
        std::lock_guard lock(machine.Mutex());
        event = std::dynamic_pointer_cast<sim::Event>(machine.LookupLocked(handle));
        if (event && !ticking) {
            ticking = true;
            ScheduleTickLocked(2);
        }
    }

    void ScheduleTickLocked(std::uint32_t ms) {
        std::weak_ptr<FuzzPin> self = shared_from_this();
        machine.AddTimerLocked(machine.Now() + ms * sim::kTicksPerMs, [self] {
            auto pin = self.lock();
            if (pin && !pin->closed) pin->TickLocked();
        });
    }

    void TickLocked() {
        const Answer* a = answers.Next(kTickKey);
        const std::uint8_t mode = a ? a->mode % 4 : 0;
        if (a && a->bytes.size() >= 5) std::memcpy(registerWord, a->bytes.data() + 1, 4);
        if (a && mode >= 2 && a->bytes.size() > 9 && !buffers.empty() && !buffers.back().empty()) {
            std::vector<BYTE>& buffer = buffers.back();
            const std::size_t at = a->U32(5) % buffer.size();
            const std::size_t n = std::min(a->bytes.size() - 9, buffer.size() - at);
            std::memcpy(buffer.data() + at, a->bytes.data() + 9, n);
        }
        if (event && (mode == 0 || mode == 2)) machine.SetEventLocked(*event);
        ScheduleTickLocked(a && !a->bytes.empty() ? std::max<std::uint32_t>(1, a->bytes[0]) : 2);
    }

    void Close(sim::File& file) override {
        {
            std::lock_guard lock(machine.Mutex());
            closed = true;
            event.reset();
        }
        sim::Device::Close(file);
    }

    sim::Machine& machine;
    Answers& answers;
    std::vector<std::vector<BYTE>> buffers;
    BYTE registerWord[8] = {};
    bool packets = false;  // packet mode; the rest is its state (machine lock held)
    bool ticking = false;
    bool closed = false;
    sim::Ticks lastImmediate = -1;
    std::vector<KSSTREAM_HEADER> submitted;  // every stream request's header as it came
    std::shared_ptr<sim::Event> event;
};

class FuzzFilter : public sim::Device {
public:
    FuzzFilter(sim::Machine& m, Answers& a) : machine(m), answers(a) {}

    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
        if (r->code != IOCTL_KS_PROPERTY || r->inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_FUNCTION;
        KSPROPERTY p;
        std::memcpy(&p, r->in, sizeof p);
        if (p.Set == KSPROPSETID_Topology && p.Id == KSPROPERTY_TOPOLOGY_NODES)
            return AnswerRequest(machine, r, answers.Next(kNodesKey));
        if (p.Set == KSPROPSETID_Pin && p.Id < kNodesKey) return AnswerRequest(machine, r, answers.Next(kPinKey + p.Id));
        return ERROR_NOT_FOUND;
    }

    DWORD CreatePin(sim::File&, void*, ACCESS_MASK, std::shared_ptr<sim::Device>* pin) override {
        const Answer* a = answers.Next(kCreatePinKey);
        if (a && a->mode % 8 != 0) return a->mode % 2 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_NOT_FOUND;
        auto instance = std::make_shared<FuzzPin>(machine, answers);
        instance->packets = packets;
        pins.push_back(instance);
        *pin = instance;
        return ERROR_SUCCESS;
    }

    sim::Machine& machine;
    Answers& answers;
    std::vector<std::shared_ptr<FuzzPin>> pins;
    bool packets = false;  // the pins it creates stream (see packet mode above)
};

}  // namespace fuzz
