// sim::KsFaults: the fault knobs of one simulated KS device (its filters and the pins created on them),
// and the one place their property requests pass through: KSPROPERTY parsing, injected failures and
// pended completions, the size rules a driver follows, and malformed multiple-item blocks.
//
// Knobs are set from a test at any time; every member is guarded by the machine lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/simwin/ks.h"

namespace sim {

inline constexpr ULONG kKsAnyPin = 0xFFFFFFFF;

// Ways a driver's KSMULTIPLE_ITEM answer can be broken.
enum class KsMalformation {
    None,
    SizeBeyondBlock,      // the header's Size claims more bytes than the block holds
    SizeShort,            // the header's Size is less than its items need
    CountBeyondBlock,     // the header's Count claims more items than the block holds
    GrowsAfterSizeQuery,  // the size query is answered for the block as it was; the fetch finds it bigger
};

// One property request as the device received it.
struct KsPropertyRecord {
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG pinId;  // the KSP_PIN's pin id on a filter, the pin's own id on a pin; kKsAnyPin otherwise
    bool operator==(const KsPropertyRecord&) const = default;
};

class KsFaults {
public:
    explicit KsFaults(Machine& machine) : machine_(machine) {}

    // CreateFileW on a filter fails with `error` (0: opens are accepted again).
    void RefuseOpen(DWORD error);
    // Pin creation fails with `error` the next `times` requests (-1: from now on; error 0 clears).
    void RefusePinCreation(DWORD error, int times = -1);
    // The property fails with `error` the next `times` requests on a filter or pin (for KSPROPSETID_Pin
    // requests on a filter, only those for `pinId` unless kKsAnyPin), after `after` requests that are
    // answered normally (for a step in the middle of a sequence).
    void FailProperty(const GUID& set, ULONG id, DWORD error, int times = -1, ULONG pinId = kKsAnyPin,
                      unsigned after = 0);
    // The property is answered `ms` later on the machine clock (ERROR_IO_PENDING first); with `completion`
    // set, the pended request then completes with that error instead of the answer.
    void PendProperty(const GUID& set, ULONG id, std::uint32_t ms, int times = -1, ULONG pinId = kKsAnyPin,
                      unsigned after = 0, DWORD completion = ERROR_SUCCESS);
    // What a property the device does not implement is answered with: ERROR_NOT_FOUND (the default), or
    // ERROR_SET_NOT_FOUND, ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION, as other drivers and stacks do.
    void AnswerUnsupportedWith(DWORD error);
    // The multiple-item answer of the property (KSPROPSETID_Pin 3, 5, 6; KSPROPSETID_Topology 1) is broken.
    void Malform(const GUID& set, ULONG id, KsMalformation kind, ULONG pinId = kKsAnyPin);
    // A size query (no output buffer) is answered with ERROR_MORE_DATA (the default, as KS does) or
    // ERROR_INSUFFICIENT_BUFFER (as some drivers do), with the needed size as the byte count.
    void AnswerSizeQueriesWith(DWORD error);
    // Standard streaming: the next `times` reads (`read`) or writes cannot be queued and fail with
    // `error` at once, after `after` that are queued normally (-1: from now on; error 0 clears).
    void RefuseStream(bool read, DWORD error, int times = 1, unsigned after = 0);
    void Clear();
    // Every property request the device's filters and pins received, oldest first (the newest 65536).
    std::vector<KsPropertyRecord> PropertyLog();

    // Device side, machine lock held.
    DWORD OpenErrorLocked() const { return openError_; }
    DWORD TakePinCreationErrorLocked();
    DWORD TakeStreamErrorLocked(bool read);
    KsMalformation MalformationLocked(const GUID& set, ULONG id, ULONG pinId) const;

    // Handles one IOCTL_KS_PROPERTY request (called without the lock). `answer` runs with the lock held
    // and the request's KSPROPERTY (the input is at least 24 bytes) and returns the Win32 result with
    // request.information set. Injected failures and pended answers are applied around it.
    using Answer = std::function<DWORD(const KSPROPERTY& property)>;
    DWORD Dispatch(const std::shared_ptr<IoRequest>& request, ULONG pinId, const Answer& answer);

    // Answers a get with a fixed or variable value of `size` bytes, following the size rules: no output
    // buffer is a size query, a short buffer ERROR_INSUFFICIENT_BUFFER, else the bytes are copied. Lock held.
    DWORD AnswerValueLocked(IoRequest& request, const void* value, DWORD size) const;
    // Answers a get with a KSMULTIPLE_ITEM block of the items, applying a malformation. `growth` is the
    // caller's count of items the block has grown by (GrowsAfterSizeQuery: each size query reports the
    // block as it is and then lets it grow by a copy of its last item). Lock held.
    DWORD AnswerMultipleLocked(IoRequest& request, const std::vector<std::vector<BYTE>>& items, KsMalformation kind,
                               std::uint32_t* growth) const;

private:
    DWORD Unsupported(DWORD error) const { return error == ERROR_NOT_FOUND ? unsupportedError_ : error; }
    struct PropertyFault {
        GUID set;
        ULONG id;
        ULONG pinId;
        DWORD error;
        std::uint32_t pendMs;
        int times;
        unsigned after;
        DWORD completion;
    };
    struct Malformed {
        GUID set;
        ULONG id;
        ULONG pinId;
        KsMalformation kind;
    };

    Machine& machine_;
    DWORD openError_ = ERROR_SUCCESS;
    DWORD pinCreationError_ = ERROR_SUCCESS;
    int pinCreationTimes_ = 0;
    std::vector<PropertyFault> properties_;
    std::vector<Malformed> malformed_;
    struct StreamFault {
        DWORD error = ERROR_SUCCESS;
        int times = 0;
        unsigned after = 0;
    };
    StreamFault streams_[2];  // writes, reads
    DWORD sizeQueryError_ = ERROR_MORE_DATA;
    DWORD unsupportedError_ = ERROR_NOT_FOUND;
    std::vector<KsPropertyRecord> log_;
};

}  // namespace sim
