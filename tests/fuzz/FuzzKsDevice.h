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
class FuzzPin : public sim::Device {
public:
    FuzzPin(sim::Machine& m, Answers& a) : machine(m), answers(a) {}

    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
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
            buffers.emplace_back(stated);
            KSRTAUDIO_BUFFER answer{buffers.back().empty() ? nullptr : buffers.back().data(), stated, FALSE};
            Answer made{0, std::vector<std::uint8_t>(sizeof answer)};
            std::memcpy(made.bytes.data(), &answer, sizeof answer);
            return AnswerRequest(machine, r, &made);
        }
        case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT: return AnswerRequest(machine, r, answers.Next(kRegisterKey));
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

    sim::Machine& machine;
    Answers& answers;
    std::vector<std::vector<BYTE>> buffers;
    BYTE registerWord[8] = {};
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
        pins.push_back(instance);
        *pin = instance;
        return ERROR_SUCCESS;
    }

    sim::Machine& machine;
    Answers& answers;
    std::vector<std::shared_ptr<FuzzPin>> pins;
};

}  // namespace fuzz
