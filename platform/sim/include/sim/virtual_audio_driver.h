// The simulated virtual audio driver ("Root\Quillon_VirtualAudio"): its private control interface, the
// sixteen stream buffers it maps into the service, the half-buffer clock that moves their positions and
// signals the service, and an application side through which tests play into its render endpoints and
// record from its capture endpoints.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/include/sim/console_audio.h"
#include "platform/sim/include/sim/machine.h"

namespace sim {

// {E4BC239C-89E0-4329-BCD5-5E00D1502E65}
inline constexpr GUID kVadControlInterfaceClass = {
    0xE4BC239C, 0x89E0, 0x4329, {0xBC, 0xD5, 0x5E, 0x00, 0xD1, 0x50, 0x2E, 0x65}};

// How the driver keeps time; its contract allows all three.
enum class DriverClock {
    Free,   // its own clock ticks whenever a control block is registered
    Idle,   // its clock ticks only while an application has at least one of its endpoints open
    Paced,  // while the service answers, each answer moves that flow on by one period (event 1: capture,
            // event 3: render) and the driver has no clock of its own; two periods without one and it
            // ticks freely again
};

class VirtualAudioDriver {
public:
    enum class Flow { Capture, Render };
    static constexpr int kCaptureStreams = 11;
    static constexpr int kRenderStreams = 5;

    struct Request {
        Ticks time;
        DWORD code;
        std::vector<std::uint8_t> input;
        DWORD outputSize;
        bool succeeded;
    };

    struct Stream {
        bool open = false;
        bool enabled = false;
        std::uint32_t channels = 0;
        std::uint32_t length = 0;  // samples, both halves
        std::unique_ptr<float[]> buffer;
        std::unique_ptr<std::uint32_t[]> status;  // the u32 at byte 4 is the position in samples
        HANDLE slotEvent = nullptr;
    };

    explicit VirtualAudioDriver(Machine& machine);
    ~VirtualAudioDriver();
    VirtualAudioDriver(const VirtualAudioDriver&) = delete;
    VirtualAudioDriver& operator=(const VirtualAudioDriver&) = delete;

    // Plugs the driver in: its device node and its control interface appear in the device tree, and the
    // endpoints of the streams in `endpointStreams` (bit n: stream index n; default all sixteen) in the
    // endpoint store, as its child nodes. Fewer endpoints make every walk of the store shorter, for
    // harnesses that run it thousands of times.
    static constexpr std::uint32_t kAllEndpoints = 0xFFFF;
    void Install(std::uint32_t endpointStreams = kAllEndpoints);
    // Removes the driver while it may be in use: later requests fail with ERROR_DEVICE_NOT_CONNECTED.
    // Buffers already mapped stay readable and writable. Installed again, it starts with nothing
    // registered and no stream open.
    void Remove();
    bool Installed() const { return installed_; }
    Machine& GetMachine() { return machine_; }

    static const char* RequestName(DWORD code);
    // One request as the service sends it; the control interface's device object forwards here.
    BOOL Handle(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned, DWORD* error);

    // Injectable refusals: the next `times` requests of that kind fail (-1: all of them).
    void RefuseRegister(int times = 1, DWORD error = ERROR_GEN_FAILURE);
    void RefuseOpen(Flow flow, std::uint32_t localIndex, int times = 1, DWORD error = ERROR_GEN_FAILURE);
    void RefuseEnable(int times = 1, DWORD error = ERROR_GEN_FAILURE);
    void RefuseDeviceOpen(int times = 1, DWORD error = ERROR_ACCESS_DENIED);

    // What the driver saw.
    std::vector<Request> Requests();
    std::size_t CountRequests(DWORD code);
    void ClearRequests();
    std::uint32_t RegisteredFrames();  // 0 when no block is registered
    std::uint32_t RegisteredHeader();
    bool StreamOpen(Flow flow, std::uint32_t localIndex);
    bool StreamEnabled(Flow flow, std::uint32_t localIndex);
    std::uint32_t OpenStreamCount();

    // The driver's crystal and how it keeps time (default: free, exactly on the machine's clock). `ppb`:
    // how fast its clock runs against the machine's, in parts per billion (negative: slow).
    void SetClock(DriverClock mode, std::int64_t ppb = 0);

    // The half-buffer clock: periods elapsed, and answers (events 1 and 3) that did not come in time.
    std::uint64_t Periods();
    std::uint64_t MissedCaptureAnswers();
    std::uint64_t MissedRenderAnswers();

    // Event 5: writes `value` into the control status area and signals the service.
    void Notify(std::uint32_t value);

    // Application side: applications that stream without pause, as an audio engine runs them. At each
    // period boundary the driver hands every open render stream the next half from its player (zeros for a
    // stream nobody plays), into the half the service reads in the coming period, and hands every open
    // capture stream's recorder the half the service filled in the period that just ended; when the
    // service did not answer that period (event 1), the recorder gets silence instead, counted as a capture
    // underrun: a stale half is never delivered. `firstFrame` is the frame at which the half is handed
    // over, on the driver's clock: the machine clock's frame at 48 kHz (time 0 is frame 0) when that clock
    // started, plus the frames the flow moved on since (so it is the machine's frame for a driver that
    // ticks freely without drift). Players and recorders stay set across registrations and run with the
    // machine lock held: they must not call into the machine. An empty function removes one; an idle
    // driver's clock runs while at least one is set.
    using Player = std::function<void(std::uint64_t firstFrame, std::uint32_t channels, float* samples,
                                      std::uint32_t frames)>;
    using Recorder = std::function<void(std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                                        std::uint32_t frames)>;
    bool SetPlayer(std::uint32_t renderIndex, Player player);
    bool SetRecorder(std::uint32_t captureIndex, Recorder recorder);
    std::uint64_t CaptureUnderruns();

private:
    struct Refusal {
        int times = 0;
        DWORD error = 0;
    };
    bool TakeRefusal(Refusal& refusal, DWORD* error);  // lock held
    Stream* StreamFor(Flow flow, std::uint32_t localIndex);
    BOOL OpenStreamLocked(Flow flow, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned, DWORD* error);
    void CloseOneLocked(Flow flow);
    void ReleaseLocked();
    // The driver's own clock (re)started at `origin`, its next period ending `firstPeriod` periods later.
    void StartClockLocked(Ticks origin, std::uint64_t firstPeriod);
    void RestartFlowsLocked();  // the applications' streams start again from the machine's frame now
    void ScheduleLocked();
    void TickLocked();
    // One flow moves on by a period: its applications get their half, its positions flip, its event
    // (2 or 4) is signalled.
    void AdvanceCaptureLocked(bool answered);
    void AdvanceRenderLocked();
    void AnsweredLocked(Flow flow);  // paced: the service signalled event 1 or 3
    bool ApplicationsOpenLocked() const;
    void ApplicationsChangedLocked();
    std::uint32_t HalfFramesLocked() const { return frames_ / 2; }

    Machine& machine_;
    bool installed_ = false;
    bool removed_ = false;
    std::vector<Request> requests_;
    std::array<Stream, kCaptureStreams> capture_;
    std::array<Stream, kRenderStreams> render_;
    std::uint32_t openCount_[2] = {0, 0};
    // Registration.
    std::uint32_t frames_ = 0;
    std::uint32_t header_ = 0;
    std::shared_ptr<Event> events_[5];
    std::unique_ptr<std::uint32_t[]> controlStatus_;
    std::uint64_t timerId_ = 0;
    bool timerArmed_ = false;
    DriverClock clockMode_ = DriverClock::Free;
    std::int64_t clockPpb_ = 0;
    ConsoleClock clock_{0, 48'000};  // the driver's crystal since its clock last started
    std::uint64_t clockPeriod_ = 0;  // the number, on that clock, of the period the timer ends
    std::uint32_t half_[2] = {0, 0};  // per flow: which half the positions point into
    std::uint64_t flowFrame_[2] = {0, 0};  // per flow: the frame the applications' streams have reached
    std::uint64_t periods_ = 0;
    std::uint64_t answered1_ = 0, answered3_ = 0;
    std::uint64_t missedCapture_ = 0, missedRender_ = 0;
    std::uint64_t captureUnderruns_ = 0;
    std::array<Player, kRenderStreams> players_;
    std::array<Recorder, kCaptureStreams> recorders_;
    std::vector<float> applicationHalf_;  // what an application plays or records, one half at a time
    Refusal refuseRegister_, refuseEnable_, refuseDeviceOpen_;
    std::array<Refusal, kCaptureStreams> refuseCaptureOpen_;
    std::array<Refusal, kRenderStreams> refuseRenderOpen_;
    friend class VadControlDevice;
};

}  // namespace sim
