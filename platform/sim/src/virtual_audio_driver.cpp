#include "platform/sim/include/sim/virtual_audio_driver.h"

#include "platform/sim/include/sim/endpoint_store.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/sim/include/sim/devices.h"

namespace sim {
namespace {

constexpr DWORD Code(DWORD function) { return (0xED01u << 16) | (3u << 14) | (function << 2); }
constexpr DWORD kCaptureOpen = Code(0xE01), kCaptureClose = Code(0xE02), kCaptureEnable = Code(0xE03),
                kCaptureDisable = Code(0xE04), kRenderOpen = Code(0xE11), kRenderClose = Code(0xE12),
                kRenderEnable = Code(0xE13), kRenderDisable = Code(0xE14), kRegister = Code(0xE21),
                kRelease = Code(0xE22);

// The driver's records, as it reads them from the request buffers.
struct ControlBlock {
    std::uint32_t header;
    std::uint32_t reserved0;
    std::uint64_t events[5];
    std::uint32_t bufferFrames;
    std::uint32_t reserved1;
    std::uint64_t statusAddress;
};
static_assert(sizeof(ControlBlock) == 64);

struct StreamOpenBlock {
    std::uint32_t localIndex;
    std::uint32_t reserved0;
    std::uint64_t slotEvent;
    std::uint32_t sampleRate;
    std::uint32_t channels;
    std::uint64_t bufferAddress;
    std::uint32_t bufferLength;
    std::uint32_t reserved1;
    std::uint64_t statusAddress;
};
static_assert(sizeof(StreamOpenBlock) == 48);

constexpr DWORD kErrorInvalidDeviceState = 5023;

// The stream buffers are memory the service shares with the driver, as on a real PC: a service thread
// that runs late still copies into or out of the half the driver hands over at the period boundary, and
// that half's audio tears, as it would with the real driver (the missed-answer counters count such
// periods). These two are the only places the driver touches those halves once they are open; the
// ThreadSanitizer suppressions (tests/tsan.supp) name them for that reason.
__attribute__((noinline)) void ReadServiceHalf(const float* shared, float* out, std::size_t samples) {
    std::memcpy(out, shared, samples * sizeof(float));
}

__attribute__((noinline)) void WriteServiceHalf(const float* in, float* shared, std::size_t samples) {
    std::memcpy(shared, in, samples * sizeof(float));
}

// Moves every stream of a flow into its other half.
template <class Streams>
void FlipLocked(Streams& streams, std::uint32_t& half) {
    half ^= 1;
    for (auto& s : streams)
        if (s.status) std::atomic_ref<std::uint32_t>(s.status[1]).store(half * (s.length / 2), std::memory_order_release);
}

}  // namespace

// The control interface's device object: opens and requests go to the driver.
class VadControlDevice final : public Device {
public:
    explicit VadControlDevice(VirtualAudioDriver& driver) : driver_(driver) {}
    std::string Describe() const override { return "virtual audio driver control"; }
    DWORD Open(File&) override {
        std::lock_guard lock(driver_.machine_.Mutex());
        DWORD error = NO_ERROR;
        driver_.TakeRefusal(driver_.refuseDeviceOpen_, &error);
        return error;
    }
    DWORD Control(File&, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* returned) override {
        DWORD error = NO_ERROR;
        return driver_.Handle(code, const_cast<void*>(in), inSize, out, outSize, returned, &error) ? NO_ERROR : error;
    }
    void Removed() override {
        std::lock_guard lock(driver_.machine_.Mutex());
        driver_.removed_ = true;
    }

private:
    VirtualAudioDriver& driver_;
};

namespace {
constexpr char kInstanceId[] = "ROOT\\MEDIA\\0000";
}  // namespace

VirtualAudioDriver::VirtualAudioDriver(Machine& machine) : machine_(machine) { requests_.reserve(32); }

void VirtualAudioDriver::Install(std::uint32_t endpointStreams) {
    DeviceNode node;
    node.instanceId = kInstanceId;
    node.hardwareIds = {"Root\\Quillon_VirtualAudio"};
    node.setupClass = GUID_DEVCLASS_MEDIA;
    node.friendlyName = "Quillon Virtual Audio Device";
    DeviceInterface control;
    control.interfaceClass = kVadControlInterfaceClass;
    control.path = DeviceTree::InterfacePath(kInstanceId, kVadControlInterfaceClass);
    control.device = std::make_shared<VadControlDevice>(*this);
    {
        std::lock_guard lock(machine_.Mutex());
        removed_ = false;
    }
    installed_ = machine_.Devices().AddDevice(node, {control});
    if (installed_) RegisterVirtualDriverEndpoints(machine_, kInstanceId, endpointStreams);
}

void VirtualAudioDriver::Remove() {
    if (installed_) {
        machine_.Devices().RemoveDevice(kInstanceId);
        RemoveVirtualDriverEndpoints(machine_);
    }
    installed_ = false;
    std::lock_guard lock(machine_.Mutex());
    removed_ = true;
    ReleaseLocked();
    // A driver installed again starts with nothing open; the buffers stay mapped until opened anew.
    for (Stream& s : capture_) s.open = false;
    for (Stream& s : render_) s.open = false;
    openCount_[0] = openCount_[1] = 0;
}

VirtualAudioDriver::~VirtualAudioDriver() {
    // The device object must not outlive the driver it forwards to.
    if (installed_) machine_.Devices().RemoveDevice(kInstanceId);
    std::lock_guard lock(machine_.Mutex());
    ReleaseLocked();
}

bool VirtualAudioDriver::TakeRefusal(Refusal& refusal, DWORD* error) {
    if (refusal.times == 0) return false;
    if (refusal.times > 0) --refusal.times;
    *error = refusal.error;
    return true;
}

VirtualAudioDriver::Stream* VirtualAudioDriver::StreamFor(Flow flow, std::uint32_t localIndex) {
    if (flow == Flow::Capture) return localIndex < capture_.size() ? &capture_[localIndex] : nullptr;
    return localIndex < render_.size() ? &render_[localIndex] : nullptr;
}

const char* VirtualAudioDriver::RequestName(DWORD code) {
    switch (code) {
        case kCaptureOpen: return "CAPTURE_OPEN";
        case kCaptureClose: return "CAPTURE_CLOSE";
        case kCaptureEnable: return "CAPTURE_ENABLE";
        case kCaptureDisable: return "CAPTURE_DISABLE";
        case kRenderOpen: return "RENDER_OPEN";
        case kRenderClose: return "RENDER_CLOSE";
        case kRenderEnable: return "RENDER_ENABLE";
        case kRenderDisable: return "RENDER_DISABLE";
        case kRegister: return "CONTROL_REGISTER";
        case kRelease: return "CONTROL_RELEASE";
        default: return "unknown request";
    }
}

BOOL VirtualAudioDriver::Handle(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                                DWORD* error) {
    std::unique_lock lock(machine_.Mutex());
    Request request{machine_.Now(), code, {}, outSize, false};
    if (in && inSize) request.input.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + inSize);
    *returned = 0;
    BOOL ok = FALSE;
    *error = ERROR_INVALID_FUNCTION;
    if (removed_) {
        *error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (code == kRegister) {
        if (!in || inSize < sizeof(ControlBlock) || !out || outSize < sizeof(ControlBlock)) {
            *error = ERROR_INVALID_PARAMETER;
        } else if (frames_ != 0) {
            *error = kErrorInvalidDeviceState;
        } else if (!TakeRefusal(refuseRegister_, error)) {
            ControlBlock block;
            std::memcpy(&block, in, sizeof block);
            bool eventsOk = block.bufferFrames != 0 && block.bufferFrames % 2 == 0;
            std::shared_ptr<Event> events[5];
            for (int i = 0; i < 5 && eventsOk; ++i) {
                // The service's handles name objects of its process; the driver keeps references.
                events[i] = std::dynamic_pointer_cast<Event>(
                    machine_.LookupLocked(reinterpret_cast<HANDLE>(block.events[i])));
                eventsOk = events[i] != nullptr;
            }
            if (!eventsOk) {
                *error = ERROR_INVALID_PARAMETER;
            } else {
                for (int i = 0; i < 5; ++i) events_[i] = events[i];
                frames_ = block.bufferFrames;
                header_ = block.header;
                controlStatus_ = std::make_unique<std::uint32_t[]>(4);
                block.statusAddress = reinterpret_cast<std::uint64_t>(controlStatus_.get());
                std::memcpy(out, &block, sizeof block);
                *returned = sizeof block;
                answered1_ = events_[0]->setCount;
                answered3_ = events_[2]->setCount;
                events_[0]->onSet = [this] { AnsweredLocked(Flow::Capture); };
                events_[2]->onSet = [this] { AnsweredLocked(Flow::Render); };
                RestartFlowsLocked();
                StartClockLocked(machine_.Now(), 1);
                ok = TRUE;
            }
        }
    } else if (code == kRelease) {
        if (frames_ == 0) {
            *error = kErrorInvalidDeviceState;
        } else {
            ReleaseLocked();
            ok = TRUE;
        }
    } else if (code == kCaptureOpen || code == kRenderOpen) {
        ok = OpenStreamLocked(code == kCaptureOpen ? Flow::Capture : Flow::Render, in, inSize, out, outSize, returned,
                              error);
    } else if (code == kCaptureClose || code == kRenderClose) {
        const Flow flow = code == kCaptureClose ? Flow::Capture : Flow::Render;
        if (openCount_[static_cast<int>(flow)] == 0) {
            *error = kErrorInvalidDeviceState;
        } else {
            CloseOneLocked(flow);
            ok = TRUE;
        }
    } else if (code == kCaptureEnable || code == kCaptureDisable || code == kRenderEnable || code == kRenderDisable) {
        const Flow flow = (code == kCaptureEnable || code == kCaptureDisable) ? Flow::Capture : Flow::Render;
        const bool enable = code == kCaptureEnable || code == kRenderEnable;
        std::uint32_t index = 0;
        Stream* stream = nullptr;
        if (in && inSize >= sizeof index) {
            std::memcpy(&index, in, sizeof index);
            stream = StreamFor(flow, index);
        }
        if (!stream) {
            *error = ERROR_INVALID_PARAMETER;
        } else if (!(enable && TakeRefusal(refuseEnable_, error))) {
            stream->enabled = enable;
            ok = TRUE;
        }
    }
    request.succeeded = ok != FALSE;
    // The note is written in place: a request name and at most three numbers.
    char note[128];
    std::size_t length = static_cast<std::size_t>(std::snprintf(note, sizeof note, "%s", RequestName(code)));
    auto add = [&](const char* format, unsigned long long number) {
        const int n = std::snprintf(note + length, sizeof note - length, format, number);
        if (n > 0) length = std::min(length + static_cast<std::size_t>(n), sizeof note - 1);
    };
    if ((code == kRegister) && ok) add(" %llu frames", frames_);
    if ((code == kCaptureOpen || code == kRenderOpen || code == kCaptureEnable || code == kCaptureDisable ||
         code == kRenderEnable || code == kRenderDisable) &&
        request.input.size() >= 4)
        add(" #%llu", request.input[0]);
    if (!ok) add(" refused (%llu)", *error);
    requests_.push_back(std::move(request));
    lock.unlock();
    machine_.AddNote("driver", std::string_view(note, length));
    return ok;
}

BOOL VirtualAudioDriver::OpenStreamLocked(Flow flow, void* in, DWORD inSize, void* out, DWORD outSize,
                                          DWORD* returned, DWORD* error) {
    if (!in || inSize < sizeof(StreamOpenBlock) || !out || outSize < sizeof(StreamOpenBlock)) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    StreamOpenBlock block;
    std::memcpy(&block, in, sizeof block);
    Stream* stream = StreamFor(flow, block.localIndex);
    if (!stream || block.sampleRate != 48000 || (block.channels != 1 && block.channels != 2)) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    auto& refusals = flow == Flow::Capture ? refuseCaptureOpen_[block.localIndex]
                                           : refuseRenderOpen_[block.localIndex];
    if (TakeRefusal(refusals, error)) return FALSE;
    if (frames_ == 0 || stream->open) {
        *error = kErrorInvalidDeviceState;
        return FALSE;
    }
    stream->open = true;
    stream->channels = block.channels;
    stream->length = frames_ * block.channels;
    stream->buffer = std::make_unique<float[]>(stream->length);
    stream->status = std::make_unique<std::uint32_t[]>(4);
    stream->status[1] = half_[static_cast<int>(flow)] * (stream->length / 2);
    stream->slotEvent = reinterpret_cast<HANDLE>(block.slotEvent);
    ++openCount_[static_cast<int>(flow)];
    block.bufferAddress = reinterpret_cast<std::uint64_t>(stream->buffer.get());
    block.bufferLength = stream->length;
    block.statusAddress = reinterpret_cast<std::uint64_t>(stream->status.get());
    std::memcpy(out, &block, sizeof block);
    *returned = sizeof block;
    return TRUE;
}

void VirtualAudioDriver::CloseOneLocked(Flow flow) {
    // A close request names no stream: the driver counts the flow's open streams and keeps every buffer
    // of the flow mapped until the last one is closed.
    if (--openCount_[static_cast<int>(flow)] != 0) return;
    auto closeAll = [](auto& streams) {
        for (Stream& s : streams) s.open = false;
    };
    if (flow == Flow::Capture)
        closeAll(capture_);
    else
        closeAll(render_);
}

void VirtualAudioDriver::ReleaseLocked() {
    frames_ = 0;
    for (auto& e : events_) {
        if (e) e->onSet = nullptr;
        e.reset();
    }
    if (timerArmed_) machine_.CancelTimerLocked(timerId_);
    timerArmed_ = false;
}

void VirtualAudioDriver::SetClock(DriverClock mode, std::int64_t ppb) {
    std::lock_guard lock(machine_.Mutex());
    clockMode_ = mode;
    clockPpb_ = ppb;
    if (frames_ != 0) StartClockLocked(machine_.Now(), 1);
}

void VirtualAudioDriver::StartClockLocked(Ticks origin, std::uint64_t firstPeriod) {
    if (timerArmed_) machine_.CancelTimerLocked(timerId_);
    clock_ = ConsoleClock(origin, 48'000, clockPpb_);
    clockPeriod_ = firstPeriod;
    ScheduleLocked();
}

void VirtualAudioDriver::RestartFlowsLocked() {
    const std::uint64_t frame = static_cast<std::uint64_t>(machine_.Now()) * 48'000 / 10'000'000;
    flowFrame_[0] = flowFrame_[1] = frame;
}

// Each period ends on the driver's crystal, counted from when its clock started, not after its timer ran:
// on the real clock a late timer must not slow the driver's clock down (the console's runs on regardless).
void VirtualAudioDriver::ScheduleLocked() {
    const Ticks due = clock_.TimeOf(clockPeriod_ * HalfFramesLocked());
    timerId_ = machine_.AddTimerLocked(due, [this] { TickLocked(); });
    timerArmed_ = true;
}

void VirtualAudioDriver::TickLocked() {
    timerArmed_ = false;
    if (frames_ == 0 || removed_) return;
    // An idle driver's clock stops with the last application; the next one to open an endpoint starts it.
    if (clockMode_ == DriverClock::Idle && !ApplicationsOpenLocked()) return;
    ++periods_;
    // The service answers each signal of event 2 with event 1 and each of event 4 with event 3.
    const bool captureAnswered = periods_ > 1 && events_[0]->setCount != answered1_;
    if (periods_ > 1) {
        if (!captureAnswered) ++missedCapture_;
        if (events_[2]->setCount == answered3_) ++missedRender_;
    }
    answered1_ = events_[0]->setCount;
    answered3_ = events_[2]->setCount;
    AdvanceCaptureLocked(captureAnswered);
    AdvanceRenderLocked();
    ++clockPeriod_;
    ScheduleLocked();
}

void VirtualAudioDriver::AnsweredLocked(Flow flow) {
    if (clockMode_ != DriverClock::Paced || frames_ == 0 || removed_) return;
    if (flow == Flow::Capture) {
        answered1_ = events_[0]->setCount;
        AdvanceCaptureLocked(true);
    } else {
        answered3_ = events_[2]->setCount;
        ++periods_;
        AdvanceRenderLocked();
    }
    // The driver's own clock waits while the service paces it.
    StartClockLocked(machine_.Now(), 2);
}

bool VirtualAudioDriver::ApplicationsOpenLocked() const {
    auto set = [](const auto& f) { return static_cast<bool>(f); };
    return std::any_of(players_.begin(), players_.end(), set) || std::any_of(recorders_.begin(), recorders_.end(), set);
}

void VirtualAudioDriver::ApplicationsChangedLocked() {
    if (clockMode_ == DriverClock::Idle && frames_ != 0 && !removed_ && !timerArmed_ && ApplicationsOpenLocked()) {
        RestartFlowsLocked();
        StartClockLocked(machine_.Now(), 1);
    }
}

void VirtualAudioDriver::RefuseRegister(int times, DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    refuseRegister_ = {times, error};
}

void VirtualAudioDriver::RefuseOpen(Flow flow, std::uint32_t localIndex, int times, DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    if (flow == Flow::Capture && localIndex < capture_.size()) refuseCaptureOpen_[localIndex] = {times, error};
    if (flow == Flow::Render && localIndex < render_.size()) refuseRenderOpen_[localIndex] = {times, error};
}

void VirtualAudioDriver::RefuseEnable(int times, DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    refuseEnable_ = {times, error};
}

void VirtualAudioDriver::RefuseDeviceOpen(int times, DWORD error) {
    std::lock_guard lock(machine_.Mutex());
    refuseDeviceOpen_ = {times, error};
}

std::vector<VirtualAudioDriver::Request> VirtualAudioDriver::Requests() {
    std::lock_guard lock(machine_.Mutex());
    return requests_;
}

std::size_t VirtualAudioDriver::CountRequests(DWORD code) {
    std::lock_guard lock(machine_.Mutex());
    std::size_t n = 0;
    for (const Request& r : requests_) n += r.code == code;
    return n;
}

void VirtualAudioDriver::ClearRequests() {
    std::lock_guard lock(machine_.Mutex());
    requests_.clear();
}

std::uint32_t VirtualAudioDriver::RegisteredFrames() {
    std::lock_guard lock(machine_.Mutex());
    return frames_;
}

std::uint32_t VirtualAudioDriver::RegisteredHeader() {
    std::lock_guard lock(machine_.Mutex());
    return header_;
}

bool VirtualAudioDriver::StreamOpen(Flow flow, std::uint32_t localIndex) {
    std::lock_guard lock(machine_.Mutex());
    Stream* s = StreamFor(flow, localIndex);
    return s && s->open;
}

bool VirtualAudioDriver::StreamEnabled(Flow flow, std::uint32_t localIndex) {
    std::lock_guard lock(machine_.Mutex());
    Stream* s = StreamFor(flow, localIndex);
    return s && s->enabled;
}

std::uint32_t VirtualAudioDriver::OpenStreamCount() {
    std::lock_guard lock(machine_.Mutex());
    return openCount_[0] + openCount_[1];
}

std::uint64_t VirtualAudioDriver::Periods() {
    std::lock_guard lock(machine_.Mutex());
    return periods_;
}

std::uint64_t VirtualAudioDriver::MissedCaptureAnswers() {
    std::lock_guard lock(machine_.Mutex());
    return missedCapture_;
}

std::uint64_t VirtualAudioDriver::MissedRenderAnswers() {
    std::lock_guard lock(machine_.Mutex());
    return missedRender_;
}

void VirtualAudioDriver::Notify(std::uint32_t value) {
    std::lock_guard lock(machine_.Mutex());
    if (frames_ == 0 || !controlStatus_) return;
    controlStatus_[1] = value;
    machine_.SetEventLocked(*events_[4]);
}

void VirtualAudioDriver::AdvanceCaptureLocked(bool answered) {
    // Before the flip: the position's half holds what the service wrote into the capture streams during
    // the period that ends now.
    const std::uint64_t frame = flowFrame_[0] += HalfFramesLocked();
    for (int i = 0; i < kCaptureStreams; ++i) {
        Stream& s = capture_[i];
        if (!s.open || !s.buffer || s.channels == 0 || !recorders_[i]) continue;
        const std::uint32_t half = s.length / 2;
        applicationHalf_.resize(std::max<std::size_t>(applicationHalf_.size(), half));
        if (answered) {
            ReadServiceHalf(s.buffer.get() + half_[0] * half, applicationHalf_.data(), half);
        } else {
            std::fill_n(applicationHalf_.begin(), half, 0.0f);
            ++captureUnderruns_;
        }
        recorders_[i](frame, s.channels, applicationHalf_.data(), half / s.channels);
    }
    FlipLocked(capture_, half_[0]);
    machine_.SetEventLocked(*events_[1]);
}

void VirtualAudioDriver::AdvanceRenderLocked() {
    // Before the flip: the position's half is the render half the service reads in the coming period.
    const std::uint64_t frame = flowFrame_[1] += HalfFramesLocked();
    for (int i = 0; i < kRenderStreams; ++i) {
        Stream& s = render_[i];
        if (!s.open || !s.buffer || s.channels == 0) continue;
        const std::uint32_t half = s.length / 2;
        applicationHalf_.resize(std::max<std::size_t>(applicationHalf_.size(), half));
        std::fill_n(applicationHalf_.begin(), half, 0.0f);
        if (players_[i]) players_[i](frame, s.channels, applicationHalf_.data(), half / s.channels);
        WriteServiceHalf(applicationHalf_.data(), s.buffer.get() + half_[1] * half, half);
    }
    FlipLocked(render_, half_[1]);
    machine_.SetEventLocked(*events_[3]);
}

bool VirtualAudioDriver::SetPlayer(std::uint32_t renderIndex, Player player) {
    std::lock_guard lock(machine_.Mutex());
    if (renderIndex >= players_.size()) return false;
    players_[renderIndex] = std::move(player);
    ApplicationsChangedLocked();
    return true;
}

bool VirtualAudioDriver::SetRecorder(std::uint32_t captureIndex, Recorder recorder) {
    std::lock_guard lock(machine_.Mutex());
    if (captureIndex >= recorders_.size()) return false;
    recorders_[captureIndex] = std::move(recorder);
    ApplicationsChangedLocked();
    return true;
}

std::uint64_t VirtualAudioDriver::CaptureUnderruns() {
    std::lock_guard lock(machine_.Mutex());
    return captureUnderruns_;
}

}  // namespace sim
