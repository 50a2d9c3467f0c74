// sim::ConsoleHid: the console's HID interface. Output report 1 'I' asks for the channel mask; input
// report 2 'A' answers with it (bytes 2-3, little-endian), after a delay on the machine clock. A test or
// quillon-sim changes the mask at any time, as a user pressing the console's channel buttons would.
// Writes and reads are overlapped requests that pend and complete on the clock. As the HID class driver
// does, every open handle has its own input queue: a report reaches each handle open at the time, and
// waits in that handle's queue until a read on it takes it (HidD_FlushQueue empties it). A write must be
// exactly the output report length (65 bytes: the report id and 64); any other length is refused with
// ERROR_INVALID_PARAMETER.
//
// Faults: a device that never answers (or whose writes never complete), that answers late, refuses
// writes with ERROR_INVALID_USER_BUFFER, answers with another report id or first byte, or reports an
// input report length above 256; and, through its node, a base container id that is missing or not a
// GUID (Console::HideContainerId, ContainerIdAsString).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "platform/sim/include/sim/hid.h"

namespace sim {

// The console's consumer-control collection (its volume keys): input report 3 only, never sent here;
// no output report, so writes fail.
class ConsumerControlHid final : public HidDevice {
public:
    explicit ConsumerControlHid(USHORT productId) : productId_(productId) {}
    std::string Describe() const override { return "console HID consumer control"; }
    bool HidIdentity(Identity* identity) override;

private:
    const USHORT productId_;
};

class ConsoleHid final : public HidDevice {
public:
    struct Faults {
        bool neverAnswers = false;         // requests are taken but no reply ever comes
        bool writesNeverComplete = false;  // writes pend until cancelled
        bool refuseWrites = false;         // writes fail with ERROR_INVALID_USER_BUFFER
        std::uint32_t replyDelayMs = 4;    // from the request's write to its reply
        BYTE replyReportId = 0x02;
        BYTE replyFirstByte = 0x41;
        USHORT inputReportLength = 64;
        USHORT outputReportLength = 65;
        bool identityFails = false;        // attributes, serial and capabilities unavailable
    };

    ConsoleHid(Machine& machine, USHORT productId, USHORT versionNumber, std::u16string serial);

    std::string Describe() const override { return "console HID"; }
    bool HidIdentity(Identity* identity) override;
    void FlushInput(File& file) override;
    DWORD Open(File& file) override;
    void Close(File& file) override;
    DWORD Io(File& file, const std::shared_ptr<IoRequest>& request) override;
    void CancelLocked(File& file, IoRequest& request) override;
    void Removed() override;

    void SetChannelMask(std::uint16_t mask);
    std::uint16_t ChannelMask();
    void SetFaults(const Faults& faults);
    Faults CurrentFaults();
    void SetSerial(std::u16string serial);

    // What the console saw and sent.
    std::uint64_t RequestsReceived();
    std::uint64_t RepliesSent();
    std::size_t QueuedReplies();                  // over all open handles
    std::uint64_t WritesRefusedForLength();       // writes of another length than the output report's
    std::size_t PendingRequests();

private:
    void ReplyLocked();
    void AddTimerLocked(Ticks due, std::function<void()> callback);
    void CompleteReadLocked(IoRequest& request, const std::vector<BYTE>& report);

    Machine& machine_;
    const USHORT productId_;
    const USHORT versionNumber_;
    std::u16string serial_;
    Faults faults_;
    std::uint16_t mask_ = 0;
    std::map<const File*, std::deque<std::vector<BYTE>>> queues_;  // per open handle
    std::vector<std::pair<const File*, std::shared_ptr<IoRequest>>> pendingReads_;
    std::uint64_t wrongLengthWrites_ = 0;
    std::vector<std::shared_ptr<IoRequest>> pendingWrites_;
    std::vector<std::pair<std::uint64_t, Ticks>> timers_;  // id and due time, for Removed
    std::uint64_t requests_ = 0;
    std::uint64_t sent_ = 0;
};

}  // namespace sim
