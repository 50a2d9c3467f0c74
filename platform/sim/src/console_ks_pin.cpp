// A pin instance of a simulated KS audio filter: state, standard streaming, position and the looped
// (WaveRT) buffer. Everything here runs under the machine lock (timers run with it held).
#include <algorithm>
#include <cstring>

#include "platform/sim/include/sim/console_ks_filter.h"
#include "platform/sim/include/sim/console_ks_pin.h"

namespace sim {

namespace {

template <class T>
bool ReadInstance(const IoRequest& r, std::size_t offset, T* value) {
    if (!r.in || r.inSize < offset + sizeof(T)) return false;
    std::memcpy(value, static_cast<const BYTE*>(r.in) + offset, sizeof(T));
    return true;
}

}  // namespace

KsPinDevice::KsPinDevice(Machine& machine, std::shared_ptr<KsFilterDevice> filter, std::shared_ptr<KsFilterOpen> open,
                         ULONG pinId, KsPinSpec spec, KsRtSpec rt, KsWaveFormat format, bool looped,
                         std::shared_ptr<KsFaults> faults)
    : machine_(machine),
      filter_(std::move(filter)),
      open_(std::move(open)),
      pinId_(pinId),
      spec_(std::move(spec)),
      rt_(rt),
      format_(format),
      looped_(looped),
      faults_(std::move(faults)),
      clock_(spec_.stream.clockOrigin, format_.rate, spec_.stream.clockPpb),
      tapId_(spec_.stream.tap ? spec_.stream.tap->nextPin++ : 0),
      renderSink_(format_.channels, spec_.dataFlow == KSPIN_DATAFLOW_IN ? spec_.stream.sinkFrames : 0),
      positionRegister_(std::make_unique<std::uint64_t>(0)) {}

DWORD KsPinDevice::Open(File&) {
    std::lock_guard lock(machine_.Mutex());
    opened_ = true;
    filter_->PinOpenedLocked(shared_from_this(), *open_, pinId_);
    TapLocked(ConsolePinEvent::Kind::Created);
    return ERROR_SUCCESS;
}

void KsPinDevice::TapLocked(ConsolePinEvent::Kind kind, std::uint64_t firstFrame, std::uint32_t frames,
                            const BYTE* data) {
    if (!spec_.stream.tap || !spec_.stream.tap->tap) return;
    ConsolePinEvent event;
    event.kind = kind;
    event.pin = tapId_;
    event.capture = Capture();
    event.looped = looped_;
    event.format = &format_;
    event.clock = clock_;
    event.time = kind == ConsolePinEvent::Kind::Frames ? clock_.TimeOf(firstFrame) : machine_.Now();
    event.firstFrame = firstFrame;
    event.frames = frames;
    event.data = data;
    event.writePacketsRefused = writePacketCounts_.Refused();
    spec_.stream.tap->tap(event);
}

void KsPinDevice::Close(File&) {
    std::lock_guard lock(machine_.Mutex());
    CancelTimerLocked();
    queue_.clear();
    events_.clear();
    rtBuffer_.reset();
    rtSize_ = 0;
    if (RunningLocked()) TapLocked(ConsolePinEvent::Kind::Stopped);
    closed_ = true;
    if (opened_) {
        filter_->PinClosedLocked(*open_, pinId_);
        TapLocked(ConsolePinEvent::Kind::Closed);
    }
}

void KsPinDevice::StopLocked() {
    if (RunningLocked()) TapLocked(ConsolePinEvent::Kind::Stopped);
    CancelTimerLocked();
    queue_.clear();  // the device tree fails what was pending
    stopped_ = true;
}

void KsPinDevice::CancelTimerLocked() {
    if (timer_) machine_.CancelTimerLocked(timer_);
    timer_ = 0;
}

bool KsPinDevice::RunningLocked() const { return state_ == KSSTATE_RUN && !stopped_ && !closed_; }

// ---- requests ----

DWORD KsPinDevice::Io(File&, const std::shared_ptr<IoRequest>& request) {
    if (request->kind != IoRequest::Kind::Control) return ERROR_INVALID_FUNCTION;
    switch (request->code) {
        case IOCTL_KS_PROPERTY:
            return faults_->Dispatch(request, pinId_,
                                     [&](const KSPROPERTY& property) { return AnswerLocked(*request, property); });
        case IOCTL_KS_READ_STREAM:
        case IOCTL_KS_WRITE_STREAM: {
            std::lock_guard lock(machine_.Mutex());
            return QueueLocked(request, request->code == IOCTL_KS_READ_STREAM);
        }
    }
    return ERROR_INVALID_FUNCTION;
}

DWORD KsPinDevice::AnswerLocked(IoRequest& r, const KSPROPERTY& property) {
    if (property.Set == KSPROPSETID_Connection) return AnswerStateLocked(r, property);
    if (property.Set == KSPROPSETID_RtAudio) return looped_ ? AnswerRtLocked(r, property) : ERROR_NOT_FOUND;
    if (property.Set == KSPROPSETID_Audio && property.Id == KSPROPERTY_AUDIO_POSITION) {
        if (property.Flags != KSPROPERTY_TYPE_GET) return ERROR_INVALID_FUNCTION;
        const std::uint64_t bytes = PositionBytesLocked();
        const KSAUDIO_POSITION position{bytes, bytes};
        return faults_->AnswerValueLocked(r, &position, sizeof position);
    }
    if (property.Set == KSPROPSETID_AudioBufferDuration && property.Id == KSPROPERTY_AUDIOBUFFERDURATION_MS) {
        if (property.Flags != KSPROPERTY_TYPE_SET) return ERROR_INVALID_FUNCTION;
        // The ULONG is the property's value (the output buffer); bytes after the KSPROPERTY are not read.
        ULONG ms = 0;
        if (!r.out || r.outSize < sizeof ms) return ERROR_INVALID_PARAMETER;
        std::memcpy(&ms, r.out, sizeof ms);
        if (ms == 0) return ERROR_INVALID_PARAMETER;
        bufferDurationMs_ = ms;
        r.information = 0;
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_FOUND;
}

DWORD KsPinDevice::AnswerStateLocked(IoRequest& r, const KSPROPERTY& property) {
    if (property.Id != KSPROPERTY_CONNECTION_STATE) return ERROR_NOT_FOUND;
    if (property.Flags == KSPROPERTY_TYPE_GET) {
        const ULONG state = state_;
        return faults_->AnswerValueLocked(r, &state, sizeof state);
    }
    if (property.Flags != KSPROPERTY_TYPE_SET) return ERROR_INVALID_FUNCTION;
    // The value of a set travels in the output buffer.
    ULONG target = 0;
    if (!r.out || r.outSize < sizeof target) return ERROR_INVALID_PARAMETER;
    std::memcpy(&target, r.out, sizeof target);
    if (target > KSSTATE_RUN) return ERROR_INVALID_PARAMETER;
    while (state_ != static_cast<KSSTATE>(target))
        EnterLocked(static_cast<KSSTATE>(state_ < static_cast<KSSTATE>(target) ? state_ + 1 : state_ - 1));
    r.information = sizeof target;
    return ERROR_SUCCESS;
}

void KsPinDevice::EnterLocked(KSSTATE next) {
    const KSSTATE previous = state_;
    if (previous == KSSTATE_RUN && !looped_) AdvanceLocked(machine_.Now());  // what streamed up to now
    state_ = next;
    history_.push_back(next);
    if (previous == KSSTATE_RUN) {
        CancelTimerLocked();  // paused where it was
        if (!stopped_) TapLocked(ConsolePinEvent::Kind::Stopped);
    }
    if (next == KSSTATE_RUN && !stopped_) {
        // The console's clock ran on meanwhile; the stream picks it up where it is now.
        cursor_ = clock_.FramesBy(machine_.Now());
        losing_ = false;
        lastPacketTime_ = machine_.Now();
        TapLocked(ConsolePinEvent::Kind::Started, cursor_);
        if (looped_)
            StartLoopLocked();
        else
            ScheduleHeadLocked();
    }
    if (next == KSSTATE_STOP) {
        // Queued packets come back cancelled; the stream starts again from position 0.
        for (auto& r : queue_) r->CompleteLocked(ERROR_OPERATION_ABORTED, 0);
        queue_.clear();
        headDone_ = 0;
        frames_ = packets_ = 0;
        *positionRegister_ = 0;
        lastWritePacket_.reset();  // packet numbers start again from 0
        nextReadPacket_ = 0;
    }
}

// ---- standard streaming ----

DWORD KsPinDevice::QueueLocked(const std::shared_ptr<IoRequest>& request, bool read) {
    if (looped_ || read != Capture()) return ERROR_INVALID_FUNCTION;
    if (state_ == KSSTATE_STOP) return ERROR_BAD_COMMAND;
    IoRequest& r = *request;
    if (!r.out || r.outSize < sizeof(KSSTREAM_HEADER)) return ERROR_INVALID_PARAMETER;
    KSSTREAM_HEADER header;
    std::memcpy(&header, r.out, sizeof header);
    if (header.Size < sizeof header || header.Size > r.outSize || (header.FrameExtent && !header.Data) ||
        (!read && header.DataUsed > header.FrameExtent))
        return ERROR_INVALID_PARAMETER;
    if (const DWORD error = faults_->TakeStreamErrorLocked(read)) return error;
    const bool running = RunningLocked();
    if (running) AdvanceLocked(machine_.Now());  // frames before this packet arrived found none queued
    queue_.push_back(request);
    if (running) {
        AdvanceLocked(machine_.Now());
        ScheduleHeadLocked();
    }
    return ERROR_IO_PENDING;
}

// Frames the head packet takes in all: a capture read its FrameExtent (or the console's shorter reads),
// a write what it holds.
std::uint32_t KsPinDevice::HeadFramesLocked() const {
    KSSTREAM_HEADER header;
    std::memcpy(&header, queue_.front()->out, sizeof header);
    if (!format_.blockAlign) return 0;
    std::uint32_t frames = (Capture() ? header.FrameExtent : header.DataUsed) / format_.blockAlign;
    if (Capture() && spec_.stream.framesPerRead) frames = std::min<std::uint32_t>(frames, spec_.stream.framesPerRead);
    return frames;
}

void KsPinDevice::LoseLocked(std::uint64_t frames) {
    if (!frames) return;
    if (Capture()) {
        counts_.overruns += losing_ ? 0 : 1;
        counts_.overrunFrames += frames;
    } else {
        counts_.underruns += losing_ ? 0 : 1;
        counts_.underrunFrames += frames;
    }
    losing_ = true;
}

// Moves the stream to `now`: the head packets take the frames produced or played since the cursor, and
// complete when full; frames with no packet queued are lost.
void KsPinDevice::AdvanceLocked(Ticks now) {
    if (looped_ || !RunningLocked()) return;
    const std::uint64_t available = clock_.FramesBy(now);
    const std::uint32_t block = format_.blockAlign;
    for (;;) {
        if (!queue_.empty() && headDone_ >= HeadFramesLocked()) {
            CompleteHeadLocked();
            continue;
        }
        if (cursor_ >= available) break;
        if (queue_.empty()) {
            LoseLocked(available - cursor_);
            cursor_ = available;
            break;
        }
        const std::uint32_t take =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(HeadFramesLocked() - headDone_, available - cursor_));
        KSSTREAM_HEADER header;
        std::memcpy(&header, queue_.front()->out, sizeof header);
        BYTE* at = static_cast<BYTE*>(header.Data) + std::size_t{headDone_} * block;
        if (Capture()) {
            FillCapture(at, cursor_, take, format_, false, spec_.stream.sine);
            TapLocked(ConsolePinEvent::Kind::Frames, cursor_, take, at);
        } else {
            KeepRenderedLocked(at, take, cursor_);
        }
        cursor_ += take;
        headDone_ += take;
        frames_ += take;
        losing_ = false;
    }
}

void KsPinDevice::ScheduleHeadLocked() {
    CancelTimerLocked();
    if (queue_.empty() || !RunningLocked()) return;
    const std::uint32_t left = HeadFramesLocked() - std::min(headDone_, HeadFramesLocked());
    const Ticks due = clock_.TimeOf(cursor_ + left);
    std::weak_ptr<KsPinDevice> self = shared_from_this();
    timer_ = machine_.AddTimerLocked(due, [self, due] {
        auto pin = self.lock();
        if (!pin) return;
        pin->timer_ = 0;
        pin->AdvanceLocked(std::max(due, pin->machine_.Now()));
        pin->ScheduleHeadLocked();
    });
}

void KsPinDevice::CompleteHeadLocked() {
    auto request = queue_.front();
    queue_.pop_front();
    if (Capture()) {
        KSSTREAM_HEADER header;
        std::memcpy(&header, request->out, sizeof header);
        header.DataUsed = headDone_ * format_.blockAlign;
        std::memcpy(request->out, &header, sizeof header);
    }
    headDone_ = 0;
    ++packets_;
    ++totalPackets_;
    request->CompleteLocked(ERROR_SUCCESS, sizeof(KSSTREAM_HEADER));
}

void KsPinDevice::CancelLocked(File&, IoRequest& request) {
    const bool head = !queue_.empty() && queue_.front().get() == &request;
    if (head) AdvanceLocked(machine_.Now());
    const bool stillHead = !queue_.empty() && queue_.front().get() == &request;
    std::erase_if(queue_, [&](const std::shared_ptr<IoRequest>& r) { return r.get() == &request; });
    if (stillHead) {
        headDone_ = 0;  // what it took is gone with it
        ScheduleHeadLocked();
    }
}

void KsPinDevice::KeepRenderedLocked(const BYTE* data, std::uint32_t frames, std::uint64_t firstFrame) {
    if (!data || !frames) return;
    // The newest kSinkBytes in a ring: each byte is copied once.
    const std::size_t size = std::size_t{frames} * format_.blockAlign;
    if (sink_.empty()) sink_.resize(kSinkBytes);
    const BYTE* from = size > kSinkBytes ? data + size - kSinkBytes : data;
    std::size_t left = std::min(size, kSinkBytes);
    std::size_t at = static_cast<std::size_t>((renderedBytes_ + size - left) % kSinkBytes);
    while (left) {
        const std::size_t piece = std::min(left, kSinkBytes - at);
        std::memcpy(&sink_[at], from, piece);
        from += piece;
        left -= piece;
        at = (at + piece) % kSinkBytes;
    }
    renderedBytes_ += size;
    renderSink_.Add(data, frames, format_, clock_, firstFrame);
    TapLocked(ConsolePinEvent::Kind::Frames, firstFrame, frames, data);
}

std::uint64_t KsPinDevice::PositionBytesLocked() {
    const std::uint64_t block = format_.blockAlign;
    if (looped_) {
        if (!rtSize_ || !block) return 0;
        // The hardware moves on between packet ends.
        std::uint64_t frames = frames_;
        if (RunningLocked()) {
            const std::uint64_t now = clock_.FramesBy(machine_.Now());
            frames += std::min<std::uint64_t>(now > cursor_ ? now - cursor_ : 0, rtSize_ / 2 / block);
        }
        return frames * block % rtSize_;
    }
    AdvanceLocked(machine_.Now());
    return frames_ * block;
}

// ---- looped streaming ----

DWORD KsPinDevice::AnswerRtLocked(IoRequest& r, const KSPROPERTY& property) {
    const bool get = property.Flags == KSPROPERTY_TYPE_GET, set = property.Flags == KSPROPERTY_TYPE_SET;
    switch (property.Id) {
        case KSPROPERTY_RTAUDIO_BUFFER:
        case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION: {
            const bool notify = property.Id == KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
            if (notify && !rt_.notifications) return ERROR_NOT_FOUND;
            if (!get) return ERROR_INVALID_FUNCTION;
            ULONG requested = 0, notifications = 0;
            if (!ReadInstance(r, offsetof(KSRTAUDIO_BUFFER_PROPERTY, RequestedBufferSize), &requested))
                return ERROR_INVALID_PARAMETER;
            if (notify &&
                (!ReadInstance(r, offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount),
                               &notifications) ||
                 notifications < 1 || notifications > 2))
                return ERROR_INVALID_PARAMETER;
            if (r.outSize < sizeof(KSRTAUDIO_BUFFER) || !r.out) return faults_->AnswerValueLocked(r, nullptr, sizeof(KSRTAUDIO_BUFFER));
            if (state_ == KSSTATE_RUN) return ERROR_BAD_COMMAND;
            // Two whole packets of whole frames, at most the driver's maximum.
            const ULONG packet = 2u * format_.blockAlign;
            const ULONG size = packet ? std::min(requested, rt_.maximumBufferSize) / packet * packet : 0;
            if (size == 0 || (rt_.wholePacketsOnly && size != requested)) return ERROR_INVALID_PARAMETER;
            rtBuffer_ = std::make_unique<BYTE[]>(size);
            std::memset(rtBuffer_.get(), 0, size);
            rtSize_ = size;
            notificationCount_ = notifications;
            frames_ = 0;
            packets_ = 0;
            const KSRTAUDIO_BUFFER buffer{rtBuffer_.get(), size, FALSE};
            return faults_->AnswerValueLocked(r, &buffer, sizeof buffer);
        }
        case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
        case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT: {
            if (!rt_.notifications) return ERROR_NOT_FOUND;
            if (!set) return ERROR_INVALID_FUNCTION;
            HANDLE handle = nullptr;
            if (!ReadInstance(r, offsetof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, NotificationEvent), &handle))
                return ERROR_INVALID_PARAMETER;
            r.information = 0;
            if (property.Id == KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT) {
                const auto before = events_.size();
                std::erase_if(events_, [&](const auto& e) { return e.first == handle; });
                return events_.size() < before ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
            }
            if (!rtBuffer_ || notificationCount_ == 0) return ERROR_BAD_COMMAND;
            auto event = std::dynamic_pointer_cast<Event>(machine_.LookupLocked(handle));
            if (!event) return ERROR_INVALID_HANDLE;
            events_.emplace_back(handle, std::move(event));  // the driver keeps its own reference
            return ERROR_SUCCESS;
        }
        case KSPROPERTY_RTAUDIO_POSITIONREGISTER: {
            if (!get) return ERROR_INVALID_FUNCTION;
            if (r.inSize < sizeof(KSRTAUDIO_HWREGISTER_PROPERTY)) return ERROR_INVALID_PARAMETER;
            KSRTAUDIO_HWREGISTER reg{};
            reg.Register = positionRegister_.get();
            reg.Width = 32;
            reg.Accuracy = format_.blockAlign;
            return faults_->AnswerValueLocked(r, &reg, sizeof reg);
        }
        case KSPROPERTY_RTAUDIO_PACKETCOUNT: {
            if (!rt_.packetCount) return ERROR_NOT_FOUND;
            if (!get) return ERROR_INVALID_FUNCTION;
            const ULONG count = static_cast<ULONG>(packets_);
            return faults_->AnswerValueLocked(r, &count, sizeof count);
        }
        case KSPROPERTY_RTAUDIO_GETREADPACKET: {
            if (!Capture() || !rt_.readPacket) return ERROR_NOT_FOUND;
            if (!get) return ERROR_INVALID_FUNCTION;
            KSRTAUDIO_GETREADPACKET_INFO info{};
            if (r.outSize == 0) return faults_->AnswerValueLocked(r, &info, sizeof info);
            if (r.outSize < sizeof info || !r.out) return ERROR_INSUFFICIENT_BUFFER;
            // While the pin runs the hardware rewrites the packet two before the next: only the newest
            // finished packet is whole. Stopped or paused, both halves hold whole packets.
            const std::uint64_t oldest = RunningLocked() ? (packets_ ? packets_ - 1 : 0) : (packets_ > 2 ? packets_ - 2 : 0);
            const std::uint64_t next = std::max(nextReadPacket_, oldest);
            if (next >= packets_) {
                r.information = 0;
                return ERROR_NOT_READY;  // nothing new
            }
            // Asking again means the caller has read what it was given before.
            nextReadPacket_ = next + 1;
            info.PacketNumber = static_cast<ULONG>(next);
            info.PerformanceCounterValue = static_cast<ULONG64>(lastPacketTime_);
            info.MoreData = nextReadPacket_ < packets_ ? TRUE : FALSE;
            return faults_->AnswerValueLocked(r, &info, sizeof info);
        }
        case KSPROPERTY_RTAUDIO_SETWRITEPACKET: {
            if (Capture() || !rt_.writePacket) return ERROR_NOT_FOUND;
            if (!set) return ERROR_INVALID_FUNCTION;
            KSRTAUDIO_SETWRITEPACKET_INFO info{};
            if (!r.out || r.outSize < sizeof info) return ERROR_INVALID_PARAMETER;
            std::memcpy(&info, r.out, sizeof info);
            r.information = 0;
            // Packet packets_ is the one transferring while the pin runs (the next to transfer otherwise);
            // the buffer holds it and the one after.
            const std::uint64_t number = info.PacketNumber;
            const std::uint64_t firstOpen = packets_ + (RunningLocked() ? 1 : 0);
            if (number < firstOpen) {
                ++writePacketCounts_.late;
                return ERROR_IO_DEVICE;  // STATUS_DATA_LATE_ERROR
            }
            if (number >= packets_ + 2) {
                ++writePacketCounts_.overrun;
                return ERROR_IO_DEVICE;  // STATUS_DATA_OVERRUN
            }
            writePackets_.push_back(info.PacketNumber);
            if (!lastWritePacket_ || number > *lastWritePacket_) lastWritePacket_ = number;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_NOT_FOUND;
}

void KsPinDevice::StartLoopLocked() {
    CancelTimerLocked();
    if (!rtBuffer_ || rtSize_ == 0 || format_.blockAlign == 0) return;
    const std::uint64_t frames = rtSize_ / 2 / format_.blockAlign;
    std::weak_ptr<KsPinDevice> self = shared_from_this();
    const Ticks due = clock_.TimeOf(cursor_ + frames);
    timer_ = machine_.AddTimerLocked(due, [self, due] {
        if (auto pin = self.lock()) pin->LoopTickLocked(due);
    });
}

void KsPinDevice::LoopTickLocked(Ticks due) {
    timer_ = 0;
    if (!RunningLocked() || !rtBuffer_) return;
    const ULONG half = rtSize_ / 2;
    BYTE* region = rtBuffer_.get() + (packets_ & 1) * half;
    const std::uint32_t frames = half / format_.blockAlign;
    if (Capture()) {
        FillCapture(region, cursor_, frames, format_, spec_.stream.staleLastWord, spec_.stream.sine);
        TapLocked(ConsolePinEvent::Kind::Frames, cursor_, frames, region);
    } else if (rt_.writePacket && rt_.stopAtLastWritePacket && lastWritePacket_ && packets_ > *lastWritePacket_) {
        // Stopped at the end of the last packet reported: this one plays as silence.
        ++writePacketCounts_.unreported;
        std::vector<BYTE> silence(half, 0);
        KeepRenderedLocked(silence.data(), frames, cursor_);
    } else {
        KeepRenderedLocked(region, frames, cursor_);
    }
    cursor_ += frames;
    frames_ += frames;
    ++packets_;
    ++totalPackets_;
    *positionRegister_ = frames_ * format_.blockAlign % rtSize_;
    lastPacketTime_ = due;
    // Two notifications per pass: at each packet's end; one: at the end of each pass. One still set
    // from the last time was never waited for: that packet was missed.
    if (notificationCount_ == 2 || (notificationCount_ == 1 && packets_ % 2 == 0)) {
        bool missed = false;
        for (auto& e : events_) missed = missed || e.second->signaled;
        if (missed) {
            const std::uint64_t lost = notificationCount_ == 2 ? frames : 2ull * frames;
            if (Capture()) {
                ++counts_.overruns;
                counts_.overrunFrames += lost;
            } else {
                ++counts_.underruns;
                counts_.underrunFrames += lost;
            }
        }
        for (auto& e : events_) machine_.SetEventLocked(*e.second);
    }
    StartLoopLocked();
}

// ---- test side ----

KSSTATE KsPinDevice::State() {
    std::lock_guard lock(machine_.Mutex());
    return state_;
}

std::vector<KSSTATE> KsPinDevice::StateHistory() {
    std::lock_guard lock(machine_.Mutex());
    return history_;
}

std::size_t KsPinDevice::QueuedPackets() {
    std::lock_guard lock(machine_.Mutex());
    return queue_.size();
}

std::uint64_t KsPinDevice::PacketsCompleted() {
    std::lock_guard lock(machine_.Mutex());
    return totalPackets_;
}

std::uint64_t KsPinDevice::FramesTransferred() {
    std::lock_guard lock(machine_.Mutex());
    return frames_;
}

std::vector<BYTE> KsPinDevice::Rendered() {
    std::lock_guard lock(machine_.Mutex());
    const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(renderedBytes_, kSinkBytes));
    std::vector<BYTE> out(kept);
    for (std::size_t i = 0; i < kept; ++i) out[i] = sink_[(renderedBytes_ - kept + i) % kSinkBytes];
    return out;
}

std::uint64_t KsPinDevice::RenderedBytes() {
    std::lock_guard lock(machine_.Mutex());
    return renderedBytes_;
}

std::optional<ULONG> KsPinDevice::BufferDurationMs() {
    std::lock_guard lock(machine_.Mutex());
    return bufferDurationMs_;
}

ULONG KsPinDevice::RtBufferSize() {
    std::lock_guard lock(machine_.Mutex());
    return rtSize_;
}

std::size_t KsPinDevice::NotificationEvents() {
    std::lock_guard lock(machine_.Mutex());
    return events_.size();
}

std::vector<ULONG> KsPinDevice::WritePackets() {
    std::lock_guard lock(machine_.Mutex());
    return writePackets_;
}

KsWritePacketCounts KsPinDevice::WritePacketCounts() {
    std::lock_guard lock(machine_.Mutex());
    return writePacketCounts_;
}

KsStreamCounts KsPinDevice::Counts() {
    std::lock_guard lock(machine_.Mutex());
    AdvanceLocked(machine_.Now());
    return counts_;
}

RenderSink::Snapshot KsPinDevice::RenderedFrames() {
    std::lock_guard lock(machine_.Mutex());
    AdvanceLocked(machine_.Now());
    return renderSink_.Take();
}

}  // namespace sim
