#include "Service/Quillon/supervisor/ConsoleModels.h"

#include <array>
#include <utility>

namespace {

// Answers shared by several models live in the classes below, one implementation each.
class CModelBase : public CUSBDevice {
public:
    std::uint16_t RenderChannels() const override { return 10; }
};

class CAltoFamily : public CModelBase {
public:
    const char* DisplayName() const override { return "Quillon Alto"; }
};

class CBassoFamily : public CModelBase {
public:
    const char* DisplayName() const override { return "Quillon Basso"; }
};

// Every stream but the headset (10).
class CAltoStreams : public CAltoFamily {
public:
    bool UsesStream(std::int32_t index) const override { return index != 10; }
};

// Every stream but Combo3 and Combo4 (3, 4).
class CBassoStreams : public CBassoFamily {
public:
    bool UsesStream(std::int32_t index) const override { return index != 3 && index != 4; }
};

// The _Alt revisions carry no capture pin: only the five render streams are theirs.
template <class Family>
class CAltRevision : public Family {
public:
    std::uint16_t CaptureChannels() const override { return 0; }
    bool UsesStream(std::int32_t index) const override {
        if (this->CaptureChannels() != 0) return index == 0 || index >= 11;
        return index >= 11;
    }
};

template <class Streams>
class C2026Revision : public Streams {
public:
    std::uint16_t CaptureChannels() const override { return 20; }
};

class CQuillonAltoDevice : public CAltoStreams {
public:
    const char* DevicePathPattern() const override { return "usb#vid_7a3e&pid_0072"; }
    std::uint16_t CaptureChannels() const override { return 16; }
};

class CQuillonAltoDevice_Alt : public CAltRevision<CAltoFamily> {
public:
    const char* DevicePathPattern() const override { return "usb#vid_7a3e&pid_0078"; }
};

class CQuillonAltoDevice_2026 : public C2026Revision<CAltoStreams> {
public:
    const char* DevicePathPattern() const override { return "usb#vid_7a3e&pid_0094"; }
};

class CQuillonBassoDevice : public CBassoStreams {
public:
    const char* DevicePathPattern() const override { return "usb#vid_7a3e&pid_0073"; }
    std::uint16_t CaptureChannels() const override { return 15; }
};

class CQuillonBassoDevice_Alt : public CAltRevision<CBassoFamily> {
public:
    const char* DevicePathPattern() const override { return "usb#vid_7a3e&pid_0079"; }
};

class CQuillonBassoDevice_2026 : public C2026Revision<CBassoStreams> {
public:
    const char* DevicePathPattern() const override { return "usb#vid_7a3e&pid_0095"; }
};

const CQuillonAltoDevice g_Alto;
const CQuillonAltoDevice_Alt g_AltoAlt;
const CQuillonAltoDevice_2026 g_Alto2026;
const CQuillonBassoDevice g_Basso;
const CQuillonBassoDevice_Alt g_BassoAlt;
const CQuillonBassoDevice_2026 g_Basso2026;

constexpr std::array<std::pair<int, std::int16_t>, 5> kRenderOffsetPairs = {{{11, 0}, {12, 2}, {13, 4}, {14, 6}, {15, 8}}};

}  // namespace

const CUSBDevice* const g_ConsoleModels[kConsoleModelCount] = {&g_Alto,  &g_AltoAlt,  &g_Alto2026,
                                                               &g_Basso, &g_BassoAlt, &g_Basso2026};

std::int16_t g_RenderChannelOffsets[16];

namespace {
// Expands the pairs into the dense table before the program entry runs.
const bool g_RenderOffsetsExpanded = [] {
    for (std::int16_t& entry : g_RenderChannelOffsets) entry = -1;
    for (const auto& [index, offset] : kRenderOffsetPairs) g_RenderChannelOffsets[index] = offset;
    return true;
}();
}  // namespace

const CUSBDevice& QuillonAlto() { return g_Alto; }
const CUSBDevice& QuillonAltoAlt() { return g_AltoAlt; }
const CUSBDevice& QuillonAlto2026() { return g_Alto2026; }
const CUSBDevice& QuillonBasso() { return g_Basso; }
const CUSBDevice& QuillonBassoAlt() { return g_BassoAlt; }
const CUSBDevice& QuillonBasso2026() { return g_Basso2026; }
