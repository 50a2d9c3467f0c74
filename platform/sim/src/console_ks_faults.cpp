// Fault knobs of a simulated KS device and the common path of its property requests.
#include "platform/sim/include/sim/console_ks_faults.h"

#include <algorithm>
#include <cstring>

namespace sim {

void KsFaults::RefuseOpen(DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    openError_ = error;
}

void KsFaults::RefusePinCreation(DWORD error, int times) {
    std::lock_guard lock(machine_.Mutex());
    pinCreationError_ = error;
    pinCreationTimes_ = error ? times : 0;
}

void KsFaults::FailProperty(const GUID& set, ULONG id, DWORD error, int times, ULONG pinId, unsigned after) {
    std::lock_guard lock(machine_.Mutex());
    properties_.push_back({set, id, pinId, error, 0, times, after, ERROR_SUCCESS});
}

void KsFaults::PendProperty(const GUID& set, ULONG id, std::uint32_t ms, int times, ULONG pinId, unsigned after,
                            DWORD completion) {
    std::lock_guard lock(machine_.Mutex());
    properties_.push_back({set, id, pinId, ERROR_SUCCESS, ms, times, after, completion});
}

void KsFaults::AnswerUnsupportedWith(DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    unsupportedError_ = error;
}

void KsFaults::Malform(const GUID& set, ULONG id, KsMalformation kind, ULONG pinId) {
    std::lock_guard lock(machine_.Mutex());
    malformed_.push_back({set, id, pinId, kind});
}

void KsFaults::AnswerSizeQueriesWith(DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    sizeQueryError_ = error;
}

void KsFaults::RefuseStream(bool read, DWORD error, int times, unsigned after) {
    std::lock_guard lock(machine_.Mutex());
    streams_[read ? 1 : 0] = {error, error ? times : 0, after};
}

DWORD KsFaults::TakeStreamErrorLocked(bool read) {
    StreamFault& f = streams_[read ? 1 : 0];
    if (f.error == ERROR_SUCCESS || f.times == 0) return ERROR_SUCCESS;
    if (f.after) {
        --f.after;
        return ERROR_SUCCESS;
    }
    if (f.times > 0) --f.times;
    return f.error;
}

void KsFaults::Clear() {
    std::lock_guard lock(machine_.Mutex());
    streams_[0] = streams_[1] = {};
    openError_ = pinCreationError_ = ERROR_SUCCESS;
    pinCreationTimes_ = 0;
    properties_.clear();
    malformed_.clear();
    sizeQueryError_ = ERROR_MORE_DATA;
    unsupportedError_ = ERROR_NOT_FOUND;
}

std::vector<KsPropertyRecord> KsFaults::PropertyLog() {
    std::lock_guard lock(machine_.Mutex());
    return log_;
}

DWORD KsFaults::TakePinCreationErrorLocked() {
    if (pinCreationError_ == ERROR_SUCCESS || pinCreationTimes_ == 0) return ERROR_SUCCESS;
    if (pinCreationTimes_ > 0) --pinCreationTimes_;
    return pinCreationError_;
}

KsMalformation KsFaults::MalformationLocked(const GUID& set, ULONG id, ULONG pinId) const {
    for (auto& m : malformed_)
        if (m.set == set && m.id == id && (m.pinId == kKsAnyPin || m.pinId == pinId)) return m.kind;
    return KsMalformation::None;
}

DWORD KsFaults::Dispatch(const std::shared_ptr<IoRequest>& request, ULONG pinId, const Answer& answer) {
    IoRequest& r = *request;
    if (!r.in || r.inSize < sizeof(KSPROPERTY)) return ERROR_INVALID_PARAMETER;
    KSPROPERTY property;
    std::memcpy(&property, r.in, sizeof property);
    if (property.Set == KSPROPSETID_Pin && r.inSize >= sizeof(KSP_PIN))
        std::memcpy(&pinId, static_cast<const BYTE*>(r.in) + offsetof(KSP_PIN, PinId), sizeof pinId);

    std::lock_guard lock(machine_.Mutex());
    constexpr std::size_t kLogLimit = 65536;
    if (log_.size() == kLogLimit) log_.erase(log_.begin(), log_.begin() + kLogLimit / 2);
    log_.push_back({property.Set, property.Id, property.Flags, pinId});
    for (auto& f : properties_) {
        if (f.times == 0 || f.set != property.Set || f.id != property.Id) continue;
        if (f.pinId != kKsAnyPin && f.pinId != pinId) continue;
        if (f.after > 0) {
            --f.after;
            break;
        }
        if (f.times > 0) --f.times;
        if (f.error != ERROR_SUCCESS) {
            r.information = 0;
            return f.error;
        }
        // Answered now, completed later: the caller sees ERROR_IO_PENDING and waits on the clock.
        DWORD result = Unsupported(answer(property));
        DWORD bytes = r.information;
        if (f.completion != ERROR_SUCCESS) result = f.completion, bytes = 0;
        machine_.AddTimerLocked(machine_.Now() + Ticks{f.pendMs} * kTicksPerMs,
                                [request, result, bytes] { request->CompleteLocked(result, bytes); });
        return ERROR_IO_PENDING;
    }
    return Unsupported(answer(property));
}

DWORD KsFaults::AnswerValueLocked(IoRequest& r, const void* value, DWORD size) const {
    if (r.outSize == 0) {
        r.information = size;
        return sizeQueryError_;
    }
    if (!r.out || r.outSize < size) {
        r.information = 0;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(r.out, value, size);
    r.information = size;
    return ERROR_SUCCESS;
}

DWORD KsFaults::AnswerMultipleLocked(IoRequest& r, const std::vector<std::vector<BYTE>>& items, KsMalformation kind,
                                     std::uint32_t* growth) const {
    const bool grows = kind == KsMalformation::GrowsAfterSizeQuery && growth && !items.empty();
    std::vector<BYTE> body;
    ULONG count = 0;
    for (auto& item : items) {
        body.insert(body.end(), item.begin(), item.end());
        ++count;
    }
    for (std::uint32_t i = 0; grows && i < *growth; ++i) {
        body.insert(body.end(), items.back().begin(), items.back().end());
        ++count;
    }
    KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + body.size()), count};
    switch (kind) {
        case KsMalformation::SizeBeyondBlock: header.Size += 64; break;
        case KsMalformation::SizeShort: header.Size = static_cast<ULONG>(sizeof header + body.size() / 2); break;
        case KsMalformation::CountBeyondBlock: header.Count += 5; break;
        default: break;
    }
    std::vector<BYTE> block(sizeof header);
    std::memcpy(block.data(), &header, sizeof header);
    block.insert(block.end(), body.begin(), body.end());

    if (r.outSize == 0) {
        r.information = static_cast<DWORD>(block.size());
        if (grows) ++*growth;
        return sizeQueryError_;
    }
    if (!r.out || r.outSize < block.size()) {
        if (grows && r.out) {  // what fits, as some drivers do, and the warning
            const std::size_t n = std::min<std::size_t>(r.outSize, block.size());
            std::memcpy(r.out, block.data(), n);
            r.information = static_cast<DWORD>(n);
            return ERROR_MORE_DATA;
        }
        r.information = 0;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(r.out, block.data(), block.size());
    r.information = static_cast<DWORD>(block.size());
    return ERROR_SUCCESS;
}

}  // namespace sim
