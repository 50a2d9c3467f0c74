#include "platform/sim/include/sim/console_hid.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
constexpr std::size_t kInputQueueLength = 32;  // the HID class driver's ring buffer
constexpr Ticks kWriteTime = 1 * kTicksPerMs;  // an output report's transfer
}  // namespace

ConsoleHid::ConsoleHid(Machine& machine, USHORT productId, USHORT versionNumber, std::u16string serial)
    : machine_(machine), productId_(productId), versionNumber_(versionNumber), serial_(std::move(serial)) {}

bool ConsoleHid::HidIdentity(Identity* identity) {
    std::lock_guard lock(machine_.Mutex());
    if (faults_.identityFails) return false;
    identity->vendorId = 0x7A3E;
    identity->productId = productId_;
    identity->versionNumber = versionNumber_;
    identity->serial = serial_;
    identity->inputReportLength = faults_.inputReportLength;
    identity->outputReportLength = faults_.outputReportLength;
    identity->inputReports = {0x02};
    identity->outputReports = {0x01};
    return true;
}

DWORD ConsoleHid::Open(File& file) {
    std::lock_guard lock(machine_.Mutex());
    queues_[&file];
    return ERROR_SUCCESS;
}

void ConsoleHid::Close(File& file) {
    std::lock_guard lock(machine_.Mutex());
    queues_.erase(&file);
    std::erase_if(pendingReads_, [&](const auto& r) { return r.first == &file; });
}

void ConsoleHid::FlushInput(File& file) {
    std::lock_guard lock(machine_.Mutex());
    if (auto it = queues_.find(&file); it != queues_.end()) it->second.clear();
}

std::uint64_t ConsoleHid::WritesRefusedForLength() {
    std::lock_guard lock(machine_.Mutex());
    return wrongLengthWrites_;
}

void ConsoleHid::SetChannelMask(std::uint16_t mask) {
    {
        std::lock_guard lock(machine_.Mutex());
        mask_ = mask;
    }
    char text[48];
    std::snprintf(text, sizeof text, "channel mask 0x%04X", static_cast<unsigned>(mask));
    machine_.AddNote("console", text);
}

std::uint16_t ConsoleHid::ChannelMask() {
    std::lock_guard lock(machine_.Mutex());
    return mask_;
}

void ConsoleHid::SetFaults(const Faults& faults) {
    std::lock_guard lock(machine_.Mutex());
    faults_ = faults;
}

ConsoleHid::Faults ConsoleHid::CurrentFaults() {
    std::lock_guard lock(machine_.Mutex());
    return faults_;
}

void ConsoleHid::SetSerial(std::u16string serial) {
    std::lock_guard lock(machine_.Mutex());
    serial_ = std::move(serial);
}

std::uint64_t ConsoleHid::RequestsReceived() {
    std::lock_guard lock(machine_.Mutex());
    return requests_;
}

std::uint64_t ConsoleHid::RepliesSent() {
    std::lock_guard lock(machine_.Mutex());
    return sent_;
}

std::size_t ConsoleHid::QueuedReplies() {
    std::lock_guard lock(machine_.Mutex());
    std::size_t queued = 0;
    for (const auto& [file, queue] : queues_) queued += queue.size();
    return queued;
}

std::size_t ConsoleHid::PendingRequests() {
    std::lock_guard lock(machine_.Mutex());
    std::erase_if(pendingReads_, [](const auto& r) { return r.second->IsCompletedLocked(); });
    std::erase_if(pendingWrites_, [](const auto& r) { return r->IsCompletedLocked(); });
    return pendingReads_.size() + pendingWrites_.size();
}

void ConsoleHid::CompleteReadLocked(IoRequest& request, const std::vector<BYTE>& report) {
    const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(report.size(), request.outSize));
    if (bytes) std::memcpy(request.out, report.data(), bytes);
    request.CompleteLocked(ERROR_SUCCESS, bytes);
}

void ConsoleHid::ReplyLocked() {
    std::vector<BYTE> report(std::max<USHORT>(faults_.inputReportLength, 4), 0);
    report[0] = faults_.replyReportId;
    report[1] = faults_.replyFirstByte;
    report[2] = static_cast<BYTE>(mask_ & 0xFF);
    report[3] = static_cast<BYTE>(mask_ >> 8);
    ++sent_;
    std::erase_if(pendingReads_, [](const auto& r) { return r.second->IsCompletedLocked(); });
    // Every open handle gets the report: a read waiting on it takes it, else it queues there.
    for (auto& [file, queue] : queues_) {
        auto waiting = std::find_if(pendingReads_.begin(), pendingReads_.end(),
                                    [&, f = file](const auto& r) { return r.first == f; });
        if (waiting != pendingReads_.end()) {
            auto read = waiting->second;
            pendingReads_.erase(waiting);
            CompleteReadLocked(*read, report);
            continue;
        }
        if (queue.size() == kInputQueueLength) queue.pop_front();
        queue.push_back(report);
    }
}

DWORD ConsoleHid::Io(File& file, const std::shared_ptr<IoRequest>& request) {
    std::lock_guard lock(machine_.Mutex());
    if (file.Disconnected()) return ERROR_DEVICE_NOT_CONNECTED;
    if (request->kind == IoRequest::Kind::Write) {
        if (faults_.refuseWrites) return ERROR_INVALID_USER_BUFFER;
        if (!request->in || request->inSize != faults_.outputReportLength || request->inSize < 2) {
            ++wrongLengthWrites_;
            return ERROR_INVALID_PARAMETER;
        }
        const auto* report = static_cast<const BYTE*>(request->in);
        if (report[0] == 0x01 && report[1] == 0x49) {
            ++requests_;
            if (!faults_.neverAnswers)
                AddTimerLocked(machine_.Now() + static_cast<Ticks>(faults_.replyDelayMs) * kTicksPerMs,
                               [this] { ReplyLocked(); });
        }
        pendingWrites_.push_back(request);
        if (!faults_.writesNeverComplete) {
            std::weak_ptr<IoRequest> weak = request;
            const DWORD size = request->inSize;
            AddTimerLocked(machine_.Now() + kWriteTime, [weak, size] {
                if (auto r = weak.lock()) r->CompleteLocked(ERROR_SUCCESS, size);
            });
        }
        return ERROR_IO_PENDING;
    }
    if (request->kind == IoRequest::Kind::Read) {
        if (!request->out || request->outSize < faults_.inputReportLength) return ERROR_INVALID_USER_BUFFER;
        auto& queue = queues_[&file];
        if (!queue.empty()) {
            const std::vector<BYTE> report = std::move(queue.front());
            queue.pop_front();
            const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(report.size(), request->outSize));
            std::memcpy(request->out, report.data(), bytes);
            request->information = bytes;
            return ERROR_SUCCESS;
        }
        pendingReads_.emplace_back(&file, request);
        return ERROR_IO_PENDING;
    }
    return ERROR_INVALID_FUNCTION;
}

void ConsoleHid::AddTimerLocked(Ticks due, std::function<void()> callback) {
    const Ticks now = machine_.Now();
    // Timers more than a second overdue have fired, whichever clock runs.
    std::erase_if(timers_, [now](const auto& timer) { return timer.second < now - 1000 * kTicksPerMs; });
    timers_.emplace_back(machine_.AddTimerLocked(due, std::move(callback)), due);
}

void ConsoleHid::CancelLocked(File&, IoRequest& request) {
    std::erase_if(pendingReads_, [&](const auto& r) { return r.second.get() == &request; });
    std::erase_if(pendingWrites_, [&](const auto& r) { return r.get() == &request; });
}

void ConsoleHid::Removed() {
    std::lock_guard lock(machine_.Mutex());
    for (const auto& timer : timers_) machine_.CancelTimerLocked(timer.first);
    timers_.clear();
    pendingReads_.clear();
    pendingWrites_.clear();
    for (auto& [file, queue] : queues_) queue.clear();
}

}  // namespace sim
