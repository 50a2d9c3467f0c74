// sim::KsPinDevice: one pin instance of a simulated KS audio filter, as the driver tracks it.
//
// - KSPROPSETID_Connection / KSPROPERTY_CONNECTION_STATE: get and set; a set that skips states walks
//   through the ones between, as KS does. Leaving RUN stops the stream where it is; STOP returns every
//   queued packet as cancelled and rewinds the position.
// - Standard streaming: IOCTL_KS_READ_STREAM (capture pins) and IOCTL_KS_WRITE_STREAM (render pins) are
//   queued from ACQUIRE on. While the pin runs, the console produces (capture) or plays (render) frames
//   continuously on its own sample clock (console_audio.h, running from the plug): the packet at the head
//   of the queue takes them, and completes when its last frame is produced (capture: data and DataUsed
//   filled) or played. Frames that find no packet queued are lost the way hardware loses them: an
//   overrun (capture) or silence played (render), counted in Counts().
// - KSPROPSETID_Audio / KSPROPERTY_AUDIO_POSITION and the driver's buffer-duration property.
// - Looped (WaveRT) pins: KSPROPSETID_RtAudio buffer with and without notification, event registration,
//   position register, packet count, read packet and write packet, numbered as Microsoft documents
//   them: packet n lies at (n mod 2) x half the buffer, numbers count from 0 at KSSTATE_STOP, and the
//   packet count is the number of packets the hardware has finished. SETWRITEPACKET (its value a
//   KSRTAUDIO_SETWRITEPACKET_INFO) takes only a packet the buffer holds that is not transferring yet:
//   one finished or transferring is refused as STATUS_DATA_LATE_ERROR, one beyond the buffer as
//   STATUS_DATA_OVERRUN (ERROR_IO_DEVICE both), and counted; once a packet was reported the hardware
//   stops at the end of the last one reported (a later packet plays as silence). GETREADPACKET gives the
//   next unread whole packet (never one being rewritten; older ones are skipped), with MoreData when
//   another waits, or STATUS_DEVICE_NOT_READY (ERROR_NOT_READY) when nothing is new.
//   While running, the console writes
//   (capture) or plays (render) the buffer a packet (half the buffer) at a time on its sample clock; the
//   registered events are signalled at each packet's end (once per pass with one notification). A
//   notification still set when the next one comes means the reader or writer missed a packet: counted
//   as an overrun or underrun.
// Unplugged, nothing completes and no event is signalled any more.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sim/include/sim/console_audio.h"
#include "platform/sim/include/sim/console_ks_faults.h"
#include "platform/sim/include/sim/console_ks_descriptions.h"
#include "platform/sim/include/sim/devices.h"

namespace sim {

class KsFilterDevice;
struct KsFilterOpen;

// A looped render pin's write-packet reports since the pin was created.
struct KsWritePacketCounts {
    std::uint64_t late = 0;        // refused: the packet was already transferring or finished
    std::uint64_t overrun = 0;     // refused: beyond what the buffer holds
    std::uint64_t unreported = 0;  // packets the hardware reached without a report, played as silence
    std::uint64_t Refused() const { return late + overrun; }
};

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
    std::vector<ULONG> WritePackets();             // SETWRITEPACKET numbers accepted, in order
    KsWritePacketCounts WritePacketCounts();       // refused reports, packets played unreported
    KsStreamCounts Counts();                       // overruns and underruns since the pin was created
    RenderSink::Snapshot RenderedFrames();         // what the render pin received, frame by frame

    static constexpr std::size_t kSinkBytes = 1 << 20;

private:
    DWORD AnswerLocked(IoRequest& r, const KSPROPERTY& property);
    DWORD AnswerStateLocked(IoRequest& r, const KSPROPERTY& property);
    DWORD AnswerRtLocked(IoRequest& r, const KSPROPERTY& property);
    DWORD QueueLocked(const std::shared_ptr<IoRequest>& request, bool read);
    void EnterLocked(KSSTATE state);
    void ScheduleHeadLocked();
    void AdvanceLocked(Ticks now);
    std::uint32_t HeadFramesLocked() const;
    void CompleteHeadLocked();
    void LoseLocked(std::uint64_t frames);
    void StartLoopLocked();
    void LoopTickLocked(Ticks due);
    void CancelTimerLocked();
    void KeepRenderedLocked(const BYTE* data, std::uint32_t frames, std::uint64_t firstFrame);
    bool RunningLocked() const;
    void TapLocked(ConsolePinEvent::Kind kind, std::uint64_t firstFrame = 0, std::uint32_t frames = 0,
                   const BYTE* data = nullptr);
    std::uint64_t PositionBytesLocked();

    Machine& machine_;
    std::shared_ptr<KsFilterDevice> filter_;
    std::shared_ptr<KsFilterOpen> open_;
    const ULONG pinId_;
    const KsPinSpec spec_;
    const KsRtSpec rt_;
    const KsWaveFormat format_;
    const bool looped_;
    std::shared_ptr<KsFaults> faults_;
    const ConsoleClock clock_;
    const std::uint32_t tapId_;  // this instance's number for the console's pin tap

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
    std::uint64_t cursor_ = 0;  // the console frame the stream comes to next
    KsStreamCounts counts_;
    bool losing_ = false;       // the frames just before the cursor were lost
    // Standard streaming.
    std::deque<std::shared_ptr<IoRequest>> queue_;
    std::uint32_t headDone_ = 0;  // frames the packet at the head of the queue has taken
    std::vector<BYTE> sink_;  // ring of the newest kSinkBytes rendered (renderedBytes_ in all)
    std::uint64_t renderedBytes_ = 0;
    RenderSink renderSink_;
    // Looped streaming.
    std::unique_ptr<BYTE[]> rtBuffer_;
    ULONG rtSize_ = 0;
    ULONG notificationCount_ = 0;  // 0: the buffer was allocated without notification
    std::vector<std::pair<HANDLE, std::shared_ptr<Event>>> events_;
    std::unique_ptr<std::uint64_t> positionRegister_;
    Ticks lastPacketTime_ = 0;
    std::vector<ULONG> writePackets_;
    std::optional<std::uint64_t> lastWritePacket_;  // since the last STOP
    KsWritePacketCounts writePacketCounts_;
    std::uint64_t nextReadPacket_ = 0;              // capture: the first packet not yet handed out
};

}  // namespace sim
