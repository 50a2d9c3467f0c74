// sim::KsPinDevice: one pin instance of a simulated KS audio filter, as the driver tracks it.
//
// - KSPROPSETID_Connection / KSPROPERTY_CONNECTION_STATE: get and set; a set that skips states walks
//   through the ones between, as KS does. Leaving RUN stops the stream where it is; STOP returns every
//   queued packet as cancelled and rewinds the position.
// - Standard streaming: IOCTL_KS_READ_STREAM (capture pins) and IOCTL_KS_WRITE_STREAM (render pins) are
//   queued from ACQUIRE on and completed one packet at a time while the pin runs, each one its duration
//   after the previous one ended, on the machine clock. Capture fills the packet with the capture signal
//   and sets DataUsed; render keeps what it played in a sink.
// - KSPROPSETID_Audio / KSPROPERTY_AUDIO_POSITION and the driver's buffer-duration property.
// - Looped (WaveRT) pins: KSPROPSETID_RtAudio buffer with and without notification, event registration,
//   position register, packet count, read packet and write packet. While running, the buffer advances by
//   a packet (half the buffer) at a time; the registered events are signalled at each packet's end (once
//   per pass with one notification).
// Unplugged, nothing completes and no event is signalled any more.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sim/include/sim/console_ks_faults.h"
#include "platform/sim/include/sim/console_ks_spec.h"
#include "platform/sim/include/sim/devices.h"

namespace sim {

class KsFilterDevice;
struct KsFilterOpen;

class KsPinDevice final : public Device, public std::enable_shared_from_this<KsPinDevice> {
public:
    KsPinDevice(Machine& machine, std::shared_ptr<KsFilterDevice> filter, std::shared_ptr<KsFilterOpen> open,
                ULONG pinId, KsPinSpec spec, KsRtSpec rt, KsWaveFormat format, bool looped,
                std::shared_ptr<KsFaults> faults);

    std::string Describe() const override { return "KS pin"; }
    DWORD Open(File& file) override;
    void Close(File& file) override;
    DWORD Io(File& file, const std::shared_ptr<IoRequest>& request) override;
    void CancelLocked(File& file, IoRequest& request) override;

    // The filter was unplugged (machine lock held).
    void StopLocked();
    bool ClosedLocked() const { return closed_; }

    // Test side (each takes the machine lock).
    ULONG PinId() const { return pinId_; }
    bool Looped() const { return looped_; }
    bool Capture() const { return spec_.dataFlow == KSPIN_DATAFLOW_OUT; }
    const KsWaveFormat& Format() const { return format_; }
    KSSTATE State();
    std::vector<KSSTATE> StateHistory();           // every state entered, in order
    std::size_t QueuedPackets();
    std::uint64_t PacketsCompleted();              // standard packets completed, or looped packets passed
    std::uint64_t FramesTransferred();
    std::vector<BYTE> Rendered();                  // the most recent bytes the render pin played
    std::uint64_t RenderedBytes();                 // all bytes played since the pin was created
    std::optional<ULONG> BufferDurationMs();       // last buffer-duration set
    ULONG RtBufferSize();
    std::size_t NotificationEvents();              // registered events
    std::vector<ULONG> WritePackets();             // SETWRITEPACKET numbers, in order

    static constexpr std::size_t kSinkBytes = 1 << 20;

private:
    DWORD AnswerLocked(IoRequest& r, const KSPROPERTY& property);
    DWORD AnswerStateLocked(IoRequest& r, const KSPROPERTY& property);
    DWORD AnswerRtLocked(IoRequest& r, const KSPROPERTY& property);
    DWORD QueueLocked(const std::shared_ptr<IoRequest>& request, bool read);
    void EnterLocked(KSSTATE state);
    void ScheduleHeadLocked();
    void CompleteHeadLocked(Ticks due);
    void StartLoopLocked();
    void LoopTickLocked(Ticks due);
    void CancelTimerLocked();
    void KeepRenderedLocked(const BYTE* data, std::size_t size);
    Ticks DurationOf(std::uint64_t frames) const;
    std::uint64_t PositionBytesLocked() const;

    Machine& machine_;
    std::shared_ptr<KsFilterDevice> filter_;
    std::shared_ptr<KsFilterOpen> open_;
    const ULONG pinId_;
    const KsPinSpec spec_;
    const KsRtSpec rt_;
    const KsWaveFormat format_;
    const bool looped_;
    std::shared_ptr<KsFaults> faults_;

    bool opened_ = false;
    bool closed_ = false;
    bool stopped_ = false;
    KSSTATE state_ = KSSTATE_STOP;
    std::vector<KSSTATE> history_;
    std::optional<ULONG> bufferDurationMs_;
    std::uint64_t timer_ = 0;
    std::uint64_t frames_ = 0;   // transferred since the last STOP
    std::uint64_t packets_ = 0;  // completed since the last STOP
    std::uint64_t totalPackets_ = 0;
    // Standard streaming.
    std::deque<std::shared_ptr<IoRequest>> queue_;
    Ticks headStart_ = 0;  // when the packet at the head of the queue began to stream
    std::vector<BYTE> sink_;
    std::uint64_t renderedBytes_ = 0;
    // Looped streaming.
    std::unique_ptr<BYTE[]> rtBuffer_;
    ULONG rtSize_ = 0;
    ULONG notificationCount_ = 0;  // 0: the buffer was allocated without notification
    std::vector<std::pair<HANDLE, std::shared_ptr<Event>>> events_;
    std::unique_ptr<std::uint64_t> positionRegister_;
    Ticks lastPacketTime_ = 0;
    std::vector<ULONG> writePackets_;
};

}  // namespace sim
