// sim::ConsoleKs: the Kernel Streaming side of the simulated console. Plugged with the console, its audio
// function node carries a capture filter (models with capture channels) and a render filter, each a
// KSCATEGORY_AUDIO interface with a KSCATEGORY_CAPTURE or KSCATEGORY_RENDER alias on the same reference
// string, and an interface key holding "FriendlyName":
//   \\?\USB#VID_7A3E&PID_0072&MI_00#7&2F1A0C3&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\capture
// Each filter has a streaming pin (pin 0: capture data flow OUT, render IN; communication SINK) and a
// bridge pin (pin 1, communication NONE), and two topology nodes. The pins stream in the console's pin
// mode (standard or looped) with the model's channel counts.
//
// The console's sample clock starts when it is plugged; the capture signal counts frames from there
// (console_audio.h). Knobs are set through Options() before plugging (a replug applies changes); faults
// at any time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/include/sim/console_ks_faults.h"
#include "platform/sim/include/sim/console_ks_filter.h"
#include "platform/sim/include/sim/console_ks_pin.h"
#include "platform/sim/include/sim/console_ks_descriptions.h"

namespace sim {

class Console;

struct ConsoleKsOptions {
    // The sample layouts the pins accept; the data range covers their valid bits.
    std::vector<KsSampleFormat> sampleFormats = {{32, 24}, {16, 16}};
    ULONG minimumRate = 44100;
    ULONG maximumRate = 48000;
    ULONG captureChannels = 0;  // MaximumChannels of the range; 0: the model's count
    ULONG renderChannels = 0;
    // Replace the ranges built from the fields above.
    std::optional<std::vector<KsDataRangeSpec>> captureRanges;
    std::optional<std::vector<KsDataRangeSpec>> renderRanges;
    // KSINTERFACESETID_Standard ids of the streaming pins; empty: the pin mode's one interface.
    std::vector<ULONG> interfaces;
    std::optional<DWORD> channelMask;  // required of extensible formats
    std::u16string capturePinName;     // empty: "<display name> Capture"
    std::u16string renderPinName;      // empty: "<display name> Playback"
    bool pinNamesTerminated = true;
    bool friendlyNames = true;          // write "FriendlyName" into the interface keys
    std::string captureFriendlyName;    // empty: the model's display name
    std::string renderFriendlyName;
    ULONG instances = 1;                // possible instances of each streaming pin, per filter and in all
    bool captureAlias = true;           // the KSCATEGORY_CAPTURE alias exists
    bool renderAlias = true;
    DWORD captureAliasFlags = SPINT_ACTIVE;
    DWORD renderAliasFlags = SPINT_ACTIVE;
    KsRtSpec rt;
    // The console's audio.
    bool floatSamples = false;           // the streaming pins offer and take IEEE float (32 bits) only
    ULONG captureFramesPerRead = 0;      // standard capture reads complete with at most this many frames
    bool staleCaptureSentinel = false;   // looped capture leaves the last 32-bit word of each packet alone
    std::size_t renderSinkFrames = 96000;  // render frames the sink keeps (2 s at 48 kHz)
};

class ConsoleKs {
public:
    explicit ConsoleKs(Console& console);
    ConsoleKs(const ConsoleKs&) = delete;
    ConsoleKs& operator=(const ConsoleKs&) = delete;

    ConsoleKsOptions& Options() { return options_; }
    KsFaults& Faults() { return *faults_; }

    // Called by the console when it is plugged in (after its audio node exists).
    void Plug();

    // Paths (valid whether plugged or not; the capture path is empty for a model without capture).
    std::u16string CapturePath() const;
    std::u16string RenderPath() const;
    KsFilterSpec CaptureSpec() const;
    KsFilterSpec RenderSpec() const;
    // The devices of the current (or last) plug; null before the first plug.
    std::shared_ptr<KsFilterDevice> CaptureFilter() const { return capture_; }
    std::shared_ptr<KsFilterDevice> RenderFilter() const { return render_; }
    // The newest open pin instance of each streaming pin, or null.
    std::shared_ptr<KsPinDevice> CapturePin() const;
    std::shared_ptr<KsPinDevice> RenderPin() const;
    // The tap every streaming pin of this console reports to (console_audio.h), before or after the plug;
    // an empty function removes it. One tap per console.
    void SetPinTap(ConsolePinTap tap);

private:
    KsPinSpec StreamingPin(bool capture) const;

    Console& console_;
    ConsoleKsOptions options_;
    Ticks plugTime_ = 0;  // the console's sample clock runs from here
    std::shared_ptr<KsFaults> faults_;
    std::shared_ptr<ConsolePinTapSlot> tap_;
    std::shared_ptr<KsFilterDevice> capture_;
    std::shared_ptr<KsFilterDevice> render_;
};

// Adds one KS filter interface to a plugged node: KSCATEGORY_AUDIO at `reference`, the alias class on the
// same reference (unless `alias` is false) with `aliasFlags`, and "FriendlyName" in the interface key
// when `friendlyName` is not empty. Returns the KSCATEGORY_AUDIO path.
std::u16string AddKsFilterInterface(Machine& machine, const std::string& instanceId, const std::string& reference,
                                    std::shared_ptr<KsFilterDevice> filter, const GUID& aliasClass, bool alias,
                                    DWORD aliasFlags, const std::string& friendlyName);

}  // namespace sim
