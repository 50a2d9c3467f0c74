// The simulated console's Kernel Streaming side, driven the way the service drives it: SetupAPI
// enumeration, CreateFileW, IOCTL_KS_PROPERTY, KsCreatePin2 from "ksuser.dll", stream requests and the
// WaveRT properties, on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_audio.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/console_ks_others.h"
#include "platform/sim/include/sim/modules.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/simwin.h"

namespace {

using sim::ConsoleModel;
using sim::KsMalformation;

// ---- the Win32 side, as a KS client writes it ----

DWORD Request(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes = nullptr) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n = 0;
    DWORD error = DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &n, &ov) ? 0 : GetLastError();
    if (error == ERROR_IO_PENDING) error = GetOverlappedResult(h, &ov, &n, TRUE) ? 0 : GetLastError();
    CloseHandle(event);
    if (bytes) *bytes = n;
    return error;
}

KSP_PIN PinProperty(ULONG id, ULONG pin) {
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = id;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pin;
    return p;
}

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET) {
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    return p;
}

template <class T>
DWORD GetPin(HANDLE filter, ULONG id, ULONG pin, T* value, DWORD* bytes = nullptr) {
    const KSP_PIN p = PinProperty(id, pin);
    return Request(filter, IOCTL_KS_PROPERTY, &p, sizeof p, value, sizeof(T), bytes);
}

std::vector<BYTE> GetMultiple(HANDLE filter, const void* request, DWORD requestSize, DWORD* error) {
    DWORD size = 0;
    *error = Request(filter, IOCTL_KS_PROPERTY, request, requestSize, nullptr, 0, &size);
    if (*error != ERROR_MORE_DATA) return {};
    std::vector<BYTE> block(size);
    *error = Request(filter, IOCTL_KS_PROPERTY, request, requestSize, block.data(), size, &size);
    block.resize(size);
    return block;
}

HANDLE OpenFilter(const std::u16string& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// KSPIN_CONNECT, KSDATAFORMAT and a WAVEFORMATEXTENSIBLE (or a plain PCM WAVEFORMATEX).
std::vector<BYTE> Connect(ULONG pinId, WORD channels, WORD container, WORD valid, bool looped = false,
                          bool extensible = true, DWORD rate = 48000, const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
    const DWORD waveSize = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    std::vector<BYTE> block(sizeof(KSPIN_CONNECT) + 64 + waveSize);
    KSPIN_CONNECT c{};
    c.Interface.Set = KSINTERFACESETID_Standard;
    c.Interface.Id = looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
    c.Medium.Set = KSMEDIUMSETID_Standard;
    c.PinId = pinId;
    c.Priority = {KSPRIORITY_EXCLUSIVE, 1};
    std::memcpy(block.data(), &c, sizeof c);
    KSDATAFORMAT f{};
    f.FormatSize = 64 + waveSize;
    f.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.SubFormat = subFormat;
    f.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(block.data() + sizeof c, &f, 64);
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = container;
    w.Format.nBlockAlign = static_cast<WORD>(channels * container / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
    w.Format.cbSize = extensible ? 22 : 0;
    w.Samples.wValidBitsPerSample = valid;
    w.SubFormat = subFormat;
    std::memcpy(block.data() + sizeof c + 64, &w, waveSize);
    return block;
}

using CreatePinFn = HRESULT (*)(HANDLE, void*, ACCESS_MASK, PHANDLE);

HRESULT CreatePin(HANDLE filter, std::vector<BYTE> connect, HANDLE* pin) {
    HMODULE ksuser = LoadLibraryW(u"ksuser.dll");
    auto create = reinterpret_cast<CreatePinFn>(reinterpret_cast<void*>(GetProcAddress(ksuser, "KsCreatePin2")));
    const HRESULT hr = create(filter, connect.data(), GENERIC_READ | GENERIC_WRITE, pin);
    FreeLibrary(ksuser);
    return hr;
}

DWORD SetState(HANDLE pin, KSSTATE state) {
    const KSPROPERTY p = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    ULONG value = state;
    return Request(pin, IOCTL_KS_PROPERTY, &p, sizeof p, &value, sizeof value);
}

// One queued stream packet.
struct Packet {
    explicit Packet(DWORD bytes) : data(bytes) {
        header.Size = sizeof header;
        header.FrameExtent = bytes;
        header.Data = data.data();
        header.PresentationTime.Numerator = header.PresentationTime.Denominator = 1;
        ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~Packet() { CloseHandle(ov.hEvent); }
    DWORD Submit(HANDLE pin, DWORD code) {
        return DeviceIoControl(pin, code, nullptr, 0, &header, sizeof header, nullptr, &ov) ? 0 : GetLastError();
    }
    DWORD Result(HANDLE pin) {
        DWORD n = 0;
        return GetOverlappedResult(pin, &ov, &n, TRUE) ? 0 : GetLastError();
    }
    KSSTREAM_HEADER header{};
    OVERLAPPED ov{};
    std::vector<BYTE> data;
};

struct Rig {
    explicit Rig(sim::ConsoleConfig config = {}) : console(machine, config) {}
    sim::Machine machine;
    sim::Console console;
    sim::ConsoleKs& ks() { return console.Ks(); }
};

std::vector<std::pair<std::u16string, DWORD>> AudioFiltersWithAlias(const GUID& alias) {
    std::vector<std::pair<std::u16string, DWORD>> found;
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, i, &data); ++i) {
        std::vector<BYTE> buffer(528);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 528, nullptr, nullptr);
        SP_DEVICE_INTERFACE_DATA aliasData{sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
        const DWORD flags =
            SetupDiGetDeviceInterfaceAlias(set, &data, &alias, &aliasData) ? aliasData.Flags : 0xFFFFFFFF;
        found.emplace_back(detail->DevicePath, flags);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// ---- enumeration ----

TEST(ConsoleKs, TheConsoleFiltersSitAmongOtherAudioDevicesWithTheirAliasesAndNames) {
  {
    Rig rig;
    sim::PlugOnboardCodec(rig.machine);
    rig.console.Plug();
    sim::PlugWebcamMicrophone(rig.machine);

    const auto capture = AudioFiltersWithAlias(KSCATEGORY_CAPTURE);
    ASSERT_EQ(capture.size(), 5u);  // codec render and capture, console capture and render, webcam
    std::vector<std::u16string> withCapture;
    for (auto& [path, flags] : capture)
        if (flags != 0xFFFFFFFF) withCapture.push_back(path);
    ASSERT_EQ(withCapture.size(), 3u);
    EXPECT_EQ(withCapture[1], rig.ks().CapturePath());
    EXPECT_EQ(sim::Narrow(rig.ks().CapturePath().c_str()),
              "\\\\?\\USB#VID_7A3E&PID_0072&MI_00#7&2F1A0C3&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\capture");
    int consoleMatches = 0;
    for (auto& [path, flags] : capture)
        if (sim::Lower(sim::Narrow(path.c_str())).find("usb#vid_7a3e&pid_0072") != std::string::npos) ++consoleMatches;
    EXPECT_EQ(consoleMatches, 2);

    // The friendly name sits in the interface key; the audio node lists the console's endpoints.
    EXPECT_EQ(rig.machine.Reg().GetString(sim::DeviceTree::InterfaceKeyPath(rig.ks().RenderPath(), KSCATEGORY_AUDIO),
                                          "FriendlyName"),
              std::optional<std::string>("Quillon Alto"));
    const auto relations = rig.machine.Devices().Property(rig.console.AudioInstanceId(), DEVPKEY_Device_BusRelations);
    ASSERT_TRUE(relations.has_value());
    EXPECT_EQ(relations->type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING_LIST));
  }

    // A model without capture has only its render filter; aliases can be missing or disabled.
    Rig alt({ConsoleModel::AltoAlt});
    alt.ks().Options().renderAliasFlags = 0;
    alt.ks().Options().friendlyNames = false;
    alt.console.Plug();
    const auto render = AudioFiltersWithAlias(KSCATEGORY_RENDER);
    ASSERT_EQ(render.size(), 1u);
    EXPECT_EQ(render[0], std::make_pair(alt.ks().RenderPath(), DWORD{0}));
    EXPECT_FALSE(alt.machine.Reg().KeyExists(sim::DeviceTree::InterfaceKeyPath(alt.ks().RenderPath(), KSCATEGORY_AUDIO)));
    EXPECT_TRUE(alt.ks().CapturePath().empty());
}

// ---- filter properties ----

TEST(ConsoleKs, TheFilterAnswersPinAndTopologyPropertiesWithADriversSizeRules) {
    Rig rig;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);

    ULONG count = 0, flow = 0, communication = 0;
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_CTYPES, 0, &count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_DATAFLOW, 0, &flow), 0u);
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_COMMUNICATION, 0, &communication), 0u);
    EXPECT_EQ(flow, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    EXPECT_EQ(communication, static_cast<ULONG>(KSPIN_COMMUNICATION_SINK));
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_COMMUNICATION, 1, &communication), 0u);
    EXPECT_EQ(communication, static_cast<ULONG>(KSPIN_COMMUNICATION_NONE));
    KSPIN_CINSTANCES instances{};
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_CINSTANCES, 0, &instances), 0u);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);

    // Size query: ERROR_MORE_DATA with the size; a short buffer: ERROR_INSUFFICIENT_BUFFER and 0 bytes.
    const KSP_PIN ranges = PinProperty(KSPROPERTY_PIN_DATARANGES, 0);
    DWORD bytes = 0;
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &ranges, sizeof ranges, nullptr, 0, &bytes),
              static_cast<DWORD>(ERROR_MORE_DATA));
    // Two ranges: the first with its attribute list (a header and two 24-byte attributes) after it.
    EXPECT_EQ(bytes, 8u + 88u + 56u + 88u);
    BYTE small[16];
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &ranges, sizeof ranges, small, sizeof small, &bytes),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes, 0u);
    DWORD error = 0;
    auto block = GetMultiple(filter, &ranges, sizeof ranges, &error);
    ASSERT_EQ(error, 0u);
    KSMULTIPLE_ITEM item;
    KSDATARANGE_AUDIO range;
    std::memcpy(&item, block.data(), 8);
    std::memcpy(&range, block.data() + 8, sizeof range);
    EXPECT_EQ(item.Size, 240u);
    EXPECT_EQ(item.Count, 2u);
    EXPECT_EQ(range.DataRange.FormatSize, 88u);
    EXPECT_EQ(range.DataRange.Flags, static_cast<ULONG>(KSDATARANGE_ATTRIBUTES));
    KSMULTIPLE_ITEM attributes;
    std::memcpy(&attributes, block.data() + 8 + 88, sizeof attributes);
    EXPECT_EQ(attributes.Size, 56u);
    EXPECT_EQ(attributes.Count, 2u);
    KSDATARANGE_AUDIO plain;
    std::memcpy(&plain, block.data() + 8 + 88 + 56, sizeof plain);
    EXPECT_EQ(plain.DataRange.Flags, 0u);
    EXPECT_EQ(plain.MaximumChannels, 16u);
    EXPECT_EQ(range.MaximumChannels, 16u);
    EXPECT_EQ(range.MinimumBitsPerSample, 16u);
    EXPECT_EQ(range.MaximumBitsPerSample, 24u);
    EXPECT_EQ(range.MaximumSampleFrequency, 48000u);

    const KSP_PIN interfaces = PinProperty(KSPROPERTY_PIN_INTERFACES, 0);
    block = GetMultiple(filter, &interfaces, sizeof interfaces, &error);
    ASSERT_EQ(block.size(), 8u + 24u);
    KSIDENTIFIER identifier;
    std::memcpy(&identifier, block.data() + 8, sizeof identifier);
    EXPECT_EQ(identifier.Set, KSINTERFACESETID_Standard);
    EXPECT_EQ(identifier.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));

    char16_t name[260] = {};
    const KSP_PIN nameRequest = PinProperty(KSPROPERTY_PIN_NAME, 0);
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &nameRequest, sizeof nameRequest, name, 519, &bytes), 0u);
    EXPECT_EQ(std::u16string(name), u"Quillon Alto Capture");
    EXPECT_EQ(bytes, (std::u16string(name).size() + 1) * 2);

    const KSPROPERTY nodes = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES);
    block = GetMultiple(filter, &nodes, sizeof nodes, &error);
    ASSERT_EQ(block.size(), 8u + 2 * sizeof(GUID));
    GUID second;
    std::memcpy(&second, block.data() + 8 + sizeof(GUID), sizeof second);
    EXPECT_EQ(second, KSNODETYPE_VOLUME);

    // Unsupported: ERROR_NOT_FOUND. A pin that does not exist: ERROR_INVALID_PARAMETER.
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_DATAINTERSECTION, 0, &count), static_cast<DWORD>(ERROR_NOT_FOUND));
    const KSPROPERTY other = Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL);
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &other, sizeof other, &count, 4), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_DATAFLOW, 2, &flow), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &other, 16, &count, 4), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A driver that answers size queries with ERROR_INSUFFICIENT_BUFFER: Windows reports no byte count.
    rig.ks().Faults().AnswerSizeQueriesWith(ERROR_INSUFFICIENT_BUFFER);
    bytes = 77;
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &ranges, sizeof ranges, nullptr, 0, &bytes),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes, 0u);
    CloseHandle(filter);
    EXPECT_EQ(rig.ks().CaptureFilter()->OpenHandles(), 0u);
}

// ---- pin creation ----

TEST(ConsoleKs, PinCreationChecksFormatLayoutInterfaceAndInstanceLimits) {
    Rig rig;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    // The range (16 to 24 valid bits, 16 channels) claims these, but the driver takes 24-in-32 and 16/16 only.
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 24, 24), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 32, 32), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    EXPECT_EQ(CreatePin(filter, Connect(0, 17, 32, 24), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 32, 24, false, true, 96000), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 32, 24, true), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));  // not looped
    EXPECT_EQ(CreatePin(filter, Connect(1, 2, 16, 16), &pin), HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));  // bridge
    EXPECT_EQ(CreatePin(filter, Connect(5, 16, 32, 24), &pin), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    auto broken = Connect(0, 16, 32, 24);
    broken[sizeof(KSPIN_CONNECT) + 64 + 12] = 3;  // nBlockAlign no longer channels x bytes
    EXPECT_EQ(CreatePin(filter, broken, &pin), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));

    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24), &pin), S_OK);
    HANDLE second = nullptr;
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 16, 16, false, false), &second), HRESULT_FROM_WIN32(ERROR_BUSY));
    KSPIN_CINSTANCES instances{};
    GetPin(filter, KSPROPERTY_PIN_CINSTANCES, 0, &instances);
    EXPECT_EQ(instances.CurrentCount, 1u);
    auto device = rig.ks().CapturePin();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Format().validBits, 24);
    EXPECT_EQ(device->Format().channels, 16);
    // A failing step in the middle of a state sequence leaves the pin where the last good step put it.
    rig.ks().Faults().FailProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, ERROR_GEN_FAILURE, 1,
                                   sim::kKsAnyPin, 1);
    EXPECT_EQ(SetState(pin, KSSTATE_ACQUIRE), 0u);
    EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(device->State(), KSSTATE_ACQUIRE);
    EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    CloseHandle(pin);
    EXPECT_EQ(rig.ks().CapturePin(), nullptr);
    // Plain PCM of a layout it takes; and KsCreatePin answers in Win32 codes.
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 16, 16, false, false), &second), S_OK);
    CloseHandle(second);
    rig.ks().Faults().RefusePinCreation(ERROR_NOT_ENOUGH_MEMORY, 1);
    auto connect = Connect(0, 16, 32, 24);
    EXPECT_EQ(KsCreatePin(filter, reinterpret_cast<KSPIN_CONNECT*>(connect.data()), GENERIC_READ | GENERIC_WRITE, &pin),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(KsCreatePin(filter, reinterpret_cast<KSPIN_CONNECT*>(connect.data()), GENERIC_READ | GENERIC_WRITE, &pin), 0u);
    CloseHandle(pin);
    CloseHandle(filter);
}

// ---- standard streaming ----

TEST(ConsoleKs, StandardCaptureCompletesOnePacketAtATimeAtTheStreamsCadence) {
    Rig rig;
    const DWORD plugged = timeGetTime();
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24), &pin), S_OK);
    auto device = rig.ks().CapturePin();

    constexpr DWORD k10ms = 480 * 16 * 4;
    Packet early(k10ms);
    EXPECT_EQ(early.Submit(pin, IOCTL_KS_READ_STREAM), static_cast<DWORD>(ERROR_BAD_COMMAND));  // in STOP
    EXPECT_EQ(early.Submit(pin, IOCTL_KS_WRITE_STREAM), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // One set from STOP to RUN walks through ACQUIRE and PAUSE, as KS does.
    ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    Packet a(k10ms), b(k10ms), c(k10ms / 2);
    for (Packet* p : {&a, &b, &c}) EXPECT_EQ(p->Submit(pin, IOCTL_KS_READ_STREAM), static_cast<DWORD>(ERROR_IO_PENDING));
    rig.machine.RunFor(50);  // paused: nothing completes
    EXPECT_EQ(device->PacketsCompleted(), 0u);
    const DWORD start = timeGetTime();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    EXPECT_EQ(device->StateHistory(), (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
    const auto log = rig.ks().Faults().PropertyLog();
    ASSERT_GE(log.size(), 2u);
    const sim::KsPropertyRecord set{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, 0};
    EXPECT_EQ(log[log.size() - 2], set);
    EXPECT_EQ(log.back(), set);
    ASSERT_EQ(WaitForSingleObject(a.ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - start, 10u);
    EXPECT_FALSE(HasOverlappedIoCompleted(&b.ov));
    ASSERT_EQ(WaitForSingleObject(b.ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - start, 20u);
    ASSERT_EQ(WaitForSingleObject(c.ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - start, 25u);
    EXPECT_EQ(a.Result(pin), 0u);
    EXPECT_EQ(a.header.DataUsed, k10ms);
    EXPECT_EQ(c.header.DataUsed, k10ms / 2);

    // The capture signal: channel 3 of the second packet's second frame, 481 frames after the start of
    // the stream, whose first frame is the console's frame at that moment (48 a millisecond since plug).
    std::int32_t sample;
    std::memcpy(&sample, b.data.data() + (1 * 16 + 3) * 4, 4);
    const std::uint64_t frame = std::uint64_t{start - plugged} * 48 + 481;
    EXPECT_EQ(sample, sim::CaptureValue(3, frame) * 65536);
    EXPECT_EQ(sim::RecoverCaptureWord(sample), (sim::CaptureSampleId{3, static_cast<std::uint32_t>(frame % 2048)}));

    KSAUDIO_POSITION position{};
    const KSPROPERTY positionRequest = Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION);
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &positionRequest, sizeof positionRequest, &position, sizeof position), 0u);
    EXPECT_EQ(position.PlayOffset, 2u * k10ms + k10ms / 2);

    // A packet queued late starts when it arrives; STOP returns what is queued, cancelled.
    rig.machine.RunFor(7);
    Packet d(k10ms), e(k10ms);
    d.Submit(pin, IOCTL_KS_READ_STREAM);
    e.Submit(pin, IOCTL_KS_READ_STREAM);
    const DWORD queued = timeGetTime();
    ASSERT_EQ(WaitForSingleObject(d.ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - queued, 10u);
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
    EXPECT_EQ(e.Result(pin), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &positionRequest, sizeof positionRequest, &position, sizeof position), 0u);
    EXPECT_EQ(position.PlayOffset, 0u);
    CloseHandle(pin);
    CloseHandle(filter);
}

TEST(ConsoleKs, StandardRenderPlaysIntoTheSinkAndKeepsTheBufferDuration) {
    Rig rig;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().RenderPath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 10, 16, 16, false, false), &pin), S_OK);
    auto device = rig.ks().RenderPin();

    KSPROPERTY duration[2] = {Property(KSPROPSETID_AudioBufferDuration, KSPROPERTY_AUDIOBUFFERDURATION_MS,
                                       KSPROPERTY_TYPE_SET)};
    ULONG ms = 5;
    // The ULONG travels as the property's value; after the KSPROPERTY it is not read.
    std::memcpy(reinterpret_cast<BYTE*>(duration) + sizeof(KSPROPERTY), &ms, sizeof ms);
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, duration, sizeof(KSPROPERTY) + 4, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(device->BufferDurationMs(), std::nullopt);
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, duration, sizeof(KSPROPERTY), &ms, sizeof ms), 0u);
    EXPECT_EQ(device->BufferDurationMs(), std::optional<ULONG>(5));

    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    constexpr DWORD k5ms = 240 * 10 * 2;
    Packet a(k5ms), b(k5ms);
    for (std::size_t i = 0; i < k5ms; ++i) a.data[i] = static_cast<BYTE>(i), b.data[i] = 0xB0;
    a.header.DataUsed = b.header.DataUsed = k5ms;
    const DWORD start = timeGetTime();
    a.Submit(pin, IOCTL_KS_WRITE_STREAM);
    b.Submit(pin, IOCTL_KS_WRITE_STREAM);
    ASSERT_EQ(WaitForSingleObject(b.ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - start, 10u);
    EXPECT_EQ(a.Result(pin), 0u);
    const auto played = device->Rendered();
    ASSERT_EQ(played.size(), 2u * k5ms);
    EXPECT_TRUE(std::equal(a.data.begin(), a.data.end(), played.begin()));
    EXPECT_EQ(played.back(), 0xB0);
    b.header.DataUsed = k5ms + 2;  // more used than the packet holds
    EXPECT_EQ(b.Submit(pin, IOCTL_KS_WRITE_STREAM), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(pin);
    CloseHandle(filter);
}

TEST(ConsoleKs, TheRenderSinkKeepsTheNewestMegabyteOfALongPlay) {
    Rig rig;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().RenderPath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 10, 16, 16, false, false), &pin), S_OK);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    // Four seconds of 10 x 16-bit frames, each second filled with a byte of its own: 3.8 MB played.
    constexpr DWORD k1s = 48'000 * 10 * 2;
    constexpr auto kKept = static_cast<std::ptrdiff_t>(sim::KsPinDevice::kSinkBytes);
    Packet packets[] = {Packet(k1s), Packet(k1s), Packet(k1s), Packet(k1s)};
    for (std::size_t i = 0; i < 4; ++i) {
        std::fill(packets[i].data.begin(), packets[i].data.end(), static_cast<BYTE>(0x11 * (i + 1)));
        packets[i].header.DataUsed = k1s;
        packets[i].Submit(pin, IOCTL_KS_WRITE_STREAM);
    }
    ASSERT_EQ(WaitForSingleObject(packets[3].ov.hEvent, INFINITE), WAIT_OBJECT_0);
    const auto played = rig.ks().RenderPin()->Rendered();
    ASSERT_EQ(static_cast<std::ptrdiff_t>(played.size()), kKept);
    EXPECT_EQ(std::count(played.begin(), played.end(), 0x44), static_cast<std::ptrdiff_t>(k1s));
    EXPECT_EQ(std::count(played.begin(), played.end(), 0x33), kKept - static_cast<std::ptrdiff_t>(k1s));
    EXPECT_EQ(played.front(), 0x33);
    CloseHandle(pin);
    CloseHandle(filter);
}

// ---- looped (WaveRT) streaming ----

struct RtBufferRequest {
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION property;
};

TEST(ConsoleKs, ALoopedPinHasABufferNotificationsAPositionRegisterAndPackets) {
    sim::ConsoleConfig config;
    config.pinMode = sim::PinMode::Looped;
    Rig rig(config);
    const DWORD plugged = timeGetTime();
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    // The pin lists standard streaming before looped streaming; either connection is taken.
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24), &pin), S_OK);
    EXPECT_FALSE(rig.ks().CapturePin()->Looped());
    CloseHandle(pin);
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24, true), &pin), S_OK);
    auto device = rig.ks().CapturePin();

    // A buffer of two 10 ms packets with two notifications per pass; a size asked that is not whole
    // packets is rounded down.
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION);
    request.RequestedBufferSize = 2 * 480 * 64 + 10;
    request.NotificationCount = 2;
    KSRTAUDIO_BUFFER buffer{};
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer), 0u);
    EXPECT_EQ(buffer.ActualBufferSize, 2u * 480 * 64);
    ASSERT_NE(buffer.BufferAddress, nullptr);
    request.NotificationCount = 3;
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    request.NotificationCount = 2;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer), 0u);

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY registration{};
    registration.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT,
                                     KSPROPERTY_TYPE_SET);
    registration.NotificationEvent = event;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &registration, sizeof registration, nullptr, 0), 0u);
    KSRTAUDIO_HWREGISTER_PROPERTY registerRequest{};
    registerRequest.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER);
    KSRTAUDIO_HWREGISTER reg{};
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &registerRequest, sizeof registerRequest, &reg, sizeof reg), 0u);
    ASSERT_NE(reg.Register, nullptr);
    const KSPROPERTY readPacket = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET);
    KSRTAUDIO_GETREADPACKET_INFO info{};
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &readPacket, sizeof readPacket, &info, sizeof info),
              static_cast<DWORD>(ERROR_NOT_READY));

    const DWORD start = timeGetTime();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    const DWORD bufferSize = buffer.ActualBufferSize;
    for (DWORD packet = 1; packet <= 4; ++packet) {
        ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(timeGetTime() - start, 10 * packet);
        ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &readPacket, sizeof readPacket, &info, sizeof info), 0u);
        EXPECT_EQ(info.PacketNumber, packet - 1);
        EXPECT_FALSE(info.MoreData);
        EXPECT_EQ(*static_cast<ULONG*>(reg.Register), packet * bufferSize / 2 % bufferSize);
        // Asked again before the next packet: nothing new (STATUS_DEVICE_NOT_READY).
        EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &readPacket, sizeof readPacket, &info, sizeof info),
                  static_cast<DWORD>(ERROR_NOT_READY));
    }
    // The position moves on between packet ends: 2 ms (96 frames) into the next packet.
    rig.machine.RunFor(2);
    const KSPROPERTY positionRequest = Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION);
    KSAUDIO_POSITION position{};
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &positionRequest, sizeof positionRequest, &position, sizeof position), 0u);
    EXPECT_EQ(position.PlayOffset, 96u * 64);
    // The fourth packet (the second half) holds the stream's frames 1440..1919.
    std::int32_t sample;
    std::memcpy(&sample, static_cast<BYTE*>(buffer.BufferAddress) + bufferSize / 2 + 2 * 4, 4);
    EXPECT_EQ(sample, sim::CaptureValue(2, std::uint64_t{start - plugged} * 48 + 1440) * 65536);
    ULONG packets = 0;
    const KSPROPERTY packetCount = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT);
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &packetCount, sizeof packetCount, &packets, sizeof packets), 0u);
    EXPECT_EQ(packets, 4u);
    // Three packets pass unread (4, 5 and 6 finish): 4's half now holds 6 and 5's is being rewritten, so
    // the next unread whole packet is the newest, 6.
    rig.machine.RunFor(30);
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &readPacket, sizeof readPacket, &info, sizeof info), 0u);
    EXPECT_EQ(info.PacketNumber, 6u);
    EXPECT_FALSE(info.MoreData);
    // Paused after two more packets, both halves hold whole packets: 7 comes with MoreData, then 8.
    rig.machine.RunFor(20);
    ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &readPacket, sizeof readPacket, &info, sizeof info), 0u);
    EXPECT_EQ(info.PacketNumber, 7u);
    EXPECT_TRUE(info.MoreData);
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &readPacket, sizeof readPacket, &info, sizeof info), 0u);
    EXPECT_EQ(info.PacketNumber, 8u);
    EXPECT_FALSE(info.MoreData);
    WaitForSingleObject(event, 0);  // the notification those packets left set
    // Reading and writing stream packets is not how a looped pin works; a capture pin has no write packet.
    Packet p(64);
    EXPECT_EQ(p.Submit(pin, IOCTL_KS_READ_STREAM), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    KSPROPERTY writePacket[2] = {Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, KSPROPERTY_TYPE_SET)};
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, writePacket, sizeof(KSPROPERTY) + 12, nullptr, 0),
              static_cast<DWORD>(ERROR_NOT_FOUND));

    // Unregistered: the event stays quiet.
    registration.Property.Id = KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &registration, sizeof registration, nullptr, 0), 0u);
    EXPECT_EQ(device->NotificationEvents(), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &registration, sizeof registration, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // One notification per pass: the event comes at the end of the buffer only.
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
    request.NotificationCount = 1;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer), 0u);
    registration.Property.Id = KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &registration, sizeof registration, nullptr, 0), 0u);
    const DWORD restart = timeGetTime();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - restart, 20u);
    CloseHandle(event);
    CloseHandle(pin);
    CloseHandle(filter);
}

TEST(ConsoleKs, ALoopedRenderPinTakesWritePacketsAsDocumentedOrAnswersNotFound) {
    sim::ConsoleConfig config;
    config.pinMode = sim::PinMode::Looped;
    Rig rig(config);
    rig.ks().Options().rt.notifications = false;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().RenderPath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 10, 32, 24, true), &pin), S_OK);
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION);
    request.RequestedBufferSize = 2 * 96 * 40;
    request.NotificationCount = 2;
    KSRTAUDIO_BUFFER buffer{};
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer),
              static_cast<DWORD>(ERROR_NOT_FOUND));
    request.Property.Id = KSPROPERTY_RTAUDIO_BUFFER;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof(KSRTAUDIO_BUFFER_PROPERTY), &buffer, sizeof buffer), 0u);
    std::memset(buffer.BufferAddress, 0x11, buffer.ActualBufferSize);

    // Packet numbers as documented: packet n lies at (n mod 2) x half the buffer; the packet count is the
    // number the hardware has finished. Before the pin runs, packets 0 and 1 are open to reports; while it
    // runs, only the one after the packet transferring (packet count + 1). The value is the
    // KSRTAUDIO_SETWRITEPACKET_INFO; bytes after the KSPROPERTY are not read.
    const KSPROPERTY write = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, KSPROPERTY_TYPE_SET);
    const KSPROPERTY count = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT);
    auto report = [&](ULONG number) {
        KSRTAUDIO_SETWRITEPACKET_INFO info{number, 0, 0};
        return Request(pin, IOCTL_KS_PROPERTY, &write, sizeof write, &info, sizeof info);
    };
    auto packets = [&] {
        ULONG n = 0;
        EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &count, sizeof count, &n, sizeof n), 0u);
        return n;
    };
    auto device = rig.ks().RenderPin();
    const ULONG half = buffer.ActualBufferSize / 2;
    BYTE* base = static_cast<BYTE*>(buffer.BufferAddress);
    std::memset(base + half, 0x22, half);
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &write, sizeof write, nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(report(2), static_cast<DWORD>(ERROR_IO_DEVICE));  // beyond the buffer: STATUS_DATA_OVERRUN
    ASSERT_EQ(report(0), 0u);
    ASSERT_EQ(report(1), 0u);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    EXPECT_EQ(report(0), static_cast<DWORD>(ERROR_IO_DEVICE));  // transferring: STATUS_DATA_LATE_ERROR
    rig.machine.RunFor(2);                                      // packet 0 played
    EXPECT_EQ(packets(), 1u);
    EXPECT_EQ(report(1), static_cast<DWORD>(ERROR_IO_DEVICE));  // transferring now
    EXPECT_EQ(report(3), static_cast<DWORD>(ERROR_IO_DEVICE));  // the buffer holds 1 and 2 only
    std::memset(base, 0x33, half);
    ASSERT_EQ(report(2), 0u);
    // Packet 2 is the last reported: the hardware stops at its end, and packet 3 plays as silence
    // although its region still holds packet 1's bytes.
    rig.machine.RunFor(6);
    EXPECT_EQ(packets(), 4u);
    EXPECT_EQ(device->WritePackets(), (std::vector<ULONG>{0, 1, 2}));
    const auto counts = device->WritePacketCounts();
    EXPECT_EQ(counts.late, 2u);
    EXPECT_EQ(counts.overrun, 2u);
    EXPECT_EQ(counts.unreported, 1u);
    const auto played = device->Rendered();
    ASSERT_EQ(played.size(), 4u * half);
    EXPECT_EQ(std::vector<BYTE>(played.begin(), played.begin() + half), std::vector<BYTE>(half, 0x11));
    EXPECT_EQ(std::vector<BYTE>(played.begin() + half, played.begin() + 2 * half), std::vector<BYTE>(half, 0x22));
    EXPECT_EQ(std::vector<BYTE>(played.begin() + 2 * half, played.begin() + 3 * half), std::vector<BYTE>(half, 0x33));
    EXPECT_EQ(std::vector<BYTE>(played.begin() + 3 * half, played.end()), std::vector<BYTE>(half, 0));
    // STOP numbers the packets from 0 again.
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
    EXPECT_EQ(packets(), 0u);
    EXPECT_EQ(report(0), 0u);
    CloseHandle(pin);

    rig.console.Unplug();
    rig.ks().Options().rt.writePacket = false;
    rig.ks().Options().rt.wholePacketsOnly = true;
    rig.console.Plug();
    CloseHandle(filter);
    filter = OpenFilter(rig.ks().RenderPath());
    ASSERT_EQ(CreatePin(filter, Connect(0, 10, 32, 24, true), &pin), S_OK);
    request.RequestedBufferSize = 2 * 96 * 40 + 40;  // a frame more than two whole packets
    EXPECT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof(KSRTAUDIO_BUFFER_PROPERTY), &buffer, sizeof buffer),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(report(0), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(pin);
    CloseHandle(filter);
}

// ---- unplug ----

TEST(ConsoleKs, UnpluggedMidStreamNothingCompletesAnyMore) {
    sim::ConsoleConfig config;
    Rig rig(config);
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24), &pin), S_OK);
    auto device = rig.ks().CapturePin();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    Packet a(480 * 64), b(480 * 64);
    a.Submit(pin, IOCTL_KS_READ_STREAM);
    b.Submit(pin, IOCTL_KS_READ_STREAM);
    ASSERT_EQ(WaitForSingleObject(a.ov.hEvent, INFINITE), WAIT_OBJECT_0);
    rig.machine.RunFor(3);
    rig.console.Unplug();
    EXPECT_EQ(b.Result(pin), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(SetState(pin, KSSTATE_STOP), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    rig.machine.RunFor(100);
    EXPECT_EQ(device->PacketsCompleted(), 1u);
    CloseHandle(pin);
    CloseHandle(filter);
    EXPECT_EQ(rig.machine.HandleCount("File"), 0u);
}

// Unplugged with a read pending and the caller's buffer freed right away: the console never writes it.
TEST(ConsoleKs, UnpluggedTheConsoleLetsGoOfTheCallersBuffers) {
    Rig rig;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24), &pin), S_OK);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    auto pending = std::make_unique<Packet>(480 * 64);
    pending->Submit(pin, IOCTL_KS_READ_STREAM);
    rig.machine.RunFor(4);  // part of it filled
    rig.console.Unplug();
    EXPECT_EQ(pending->Result(pin), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    pending.reset();  // a sanitizer sees any later write
    rig.machine.RunFor(50);
    CloseHandle(pin);
    CloseHandle(filter);
}

TEST(ConsoleKs, UnpluggedALoopedBufferStopsMoving) {
    sim::ConsoleConfig config;
    config.pinMode = sim::PinMode::Looped;
    Rig looped(config);
    HANDLE filter = nullptr;
    HANDLE pin = nullptr;
    looped.console.Plug();
    filter = OpenFilter(looped.ks().CapturePath());
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24, true), &pin), S_OK);
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION);
    request.RequestedBufferSize = 2 * 96 * 64;
    request.NotificationCount = 2;
    KSRTAUDIO_BUFFER buffer{};
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer), 0u);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    looped.machine.RunFor(5);
    auto device = looped.ks().CapturePin();
    looped.console.Unplug();
    const auto* bytes = static_cast<const BYTE*>(buffer.BufferAddress);
    const std::vector<BYTE> before(bytes, bytes + buffer.ActualBufferSize);
    const std::uint64_t packets = device->PacketsCompleted();
    looped.machine.RunFor(50);
    EXPECT_EQ(device->PacketsCompleted(), packets);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), bytes));
    CloseHandle(pin);
    CloseHandle(filter);
}

// ---- the console's audio: losses, knobs ----

// Frames that find no packet queued are lost as on hardware, and counted: an overrun on capture (the
// next read starts with the frame produced when it came), silence on render (the next write plays when
// it comes). Reads can also complete short, and a read can be refused.
TEST(ConsoleKs, StandardStreamsCountWhatFindsNoPacketAndTakeTheKnobs) {
    Rig rig;
    rig.ks().Options().captureFramesPerRead = 100;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 16, 16), &pin), S_OK);
    auto device = rig.ks().CapturePin();
    ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    Packet a(480 * 32), b(480 * 32), c(480 * 32);
    a.Submit(pin, IOCTL_KS_READ_STREAM);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    ASSERT_EQ(a.Result(pin), 0u);
    EXPECT_EQ(a.header.DataUsed, 100u * 32);  // short of its FrameExtent
    rig.machine.RunFor(5);                    // 240 frames with no read queued
    EXPECT_EQ(device->Counts().overruns, 1u);
    EXPECT_EQ(device->Counts().overrunFrames, 240u);
    rig.ks().Faults().RefuseStream(true, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(b.Submit(pin, IOCTL_KS_READ_STREAM), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(c.Submit(pin, IOCTL_KS_READ_STREAM), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(c.Result(pin), 0u);
    auto frameOf = [](const Packet& p) {
        std::int16_t v;
        std::memcpy(&v, p.data.data(), sizeof v);
        return sim::RecoverCaptureWord(v * 65536)->phase;
    };
    EXPECT_EQ(frameOf(c), (frameOf(a) + 100 + 240) % 2048);
    const auto counts = device->Counts();
    EXPECT_EQ(counts.overruns, 1u);
    EXPECT_EQ(counts.underruns, 0u);
    CloseHandle(pin);

    // Render: a 3 ms gap between two 5 ms writes is 144 frames of silence.
    HANDLE render = OpenFilter(rig.ks().RenderPath());
    ASSERT_EQ(CreatePin(render, Connect(0, 10, 16, 16), &pin), S_OK);
    auto player = rig.ks().RenderPin();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    Packet first(240 * 20), second(240 * 20);
    for (std::size_t i = 0; i < first.data.size(); ++i) first.data[i] = 1, second.data[i] = 2;
    first.header.DataUsed = second.header.DataUsed = 240 * 20;
    first.Submit(pin, IOCTL_KS_WRITE_STREAM);
    ASSERT_EQ(first.Result(pin), 0u);
    rig.machine.RunFor(3);
    second.Submit(pin, IOCTL_KS_WRITE_STREAM);
    ASSERT_EQ(second.Result(pin), 0u);
    EXPECT_EQ(player->Counts().underruns, 1u);
    EXPECT_EQ(player->Counts().underrunFrames, 144u);
    const auto sink = player->RenderedFrames();
    ASSERT_EQ(sink.Frames(), 480u);
    EXPECT_EQ(sink.At(0, 9), 0x0101);
    EXPECT_EQ(sink.At(479, 0), 0x0202);
    EXPECT_EQ(sink.times[240] - sink.times[239], sim::Ticks{145} * 10'000'000 / 48000);
    CloseHandle(pin);
    CloseHandle(render);
    CloseHandle(filter);
}

// A looped reader that does not take a notification before the next one misses a packet: counted.
TEST(ConsoleKs, ALoopedPinCountsMissedNotifications) {
    sim::ConsoleConfig config;
    config.pinMode = sim::PinMode::Looped;
    Rig rig(config);
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 24, true), &pin), S_OK);
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    request.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION);
    request.RequestedBufferSize = 2 * 480 * 64;
    request.NotificationCount = 2;
    KSRTAUDIO_BUFFER buffer{};
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &buffer, sizeof buffer), 0u);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY registration{};
    registration.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT,
                                     KSPROPERTY_TYPE_SET);
    registration.NotificationEvent = event;
    ASSERT_EQ(Request(pin, IOCTL_KS_PROPERTY, &registration, sizeof registration, nullptr, 0), 0u);
    auto device = rig.ks().CapturePin();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(device->Counts().overruns, 0u);
    rig.machine.RunFor(30);  // three packets end; the first sets the event, the next two find it set
    EXPECT_EQ(device->Counts().overruns, 2u);
    EXPECT_EQ(device->Counts().overrunFrames, 960u);
    CloseHandle(event);
    CloseHandle(pin);
    CloseHandle(filter);
}

// A float console: its pins offer IEEE float only, and capture carries the signal as floats.
TEST(ConsoleKs, AFloatConsoleTakesIeeeFloatOnly) {
    Rig rig;
    rig.ks().Options().floatSamples = true;
    rig.console.Plug();
    HANDLE filter = OpenFilter(rig.ks().CapturePath());
    HANDLE pin = nullptr;
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 32, 24), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 32, 32), &pin), HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    EXPECT_EQ(CreatePin(filter, Connect(0, 16, 24, 24, false, true, 48000, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), &pin),
              HRESULT_FROM_WIN32(ERROR_NO_MATCH));
    ASSERT_EQ(CreatePin(filter, Connect(0, 16, 32, 32, false, true, 48000, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), &pin),
              S_OK);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    Packet a(96 * 64);
    a.Submit(pin, IOCTL_KS_READ_STREAM);
    ASSERT_EQ(a.Result(pin), 0u);
    float x;
    std::memcpy(&x, a.data.data() + (3 * 16 + 12) * 4, sizeof x);
    const auto id = sim::RecoverCaptureSample(x, 32);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->channel, 12u);
    CloseHandle(pin);
    CloseHandle(filter);
}

// ---- fault knobs ----

TEST(ConsoleKs, FaultKnobsRefuseFailPendAndBreakTheDriversAnswers) {
    Rig rig;
    rig.console.Plug();
    auto& faults = rig.ks().Faults();

    faults.RefuseOpen(ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenFilter(rig.ks().RenderPath()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    faults.RefuseOpen(0);
    HANDLE filter = OpenFilter(rig.ks().RenderPath());
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);

    ULONG value = 0;
    faults.FailProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, ERROR_GEN_FAILURE, 1, 0);
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_DATAFLOW, 1, &value), 0u);  // another pin
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_DATAFLOW, 0, &value), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(GetPin(filter, KSPROPERTY_PIN_DATAFLOW, 0, &value), 0u);  // once

    // Pended: ERROR_IO_PENDING, answered 5 ms later.
    faults.PendProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, 5, 1);
    const KSP_PIN ctypes = PinProperty(KSPROPERTY_PIN_CTYPES, 0);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    value = 0;
    EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, const_cast<KSP_PIN*>(&ctypes), sizeof ctypes, &value,
                                 sizeof value, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    const DWORD start = timeGetTime();
    ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - start, 5u);
    EXPECT_EQ(value, 2u);
    CloseHandle(event);

    // Multiple-item blocks whose header lies about the block, one that grows after its size query, a
    // range with FormatSize 0 and one running past the block.
    DWORD error = 0;
    const KSP_PIN ranges = PinProperty(KSPROPERTY_PIN_DATARANGES, 0);
    faults.Malform(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KsMalformation::CountBeyondBlock, 0);
    auto block = GetMultiple(filter, &ranges, sizeof ranges, &error);
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, block.data(), 8);
    EXPECT_EQ(block.size(), 240u);  // two ranges, the first with its attribute list
    EXPECT_EQ(item.Count, 7u);
    const KSP_PIN mediums = PinProperty(KSPROPERTY_PIN_MEDIUMS, 0);
    faults.Malform(KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, KsMalformation::SizeBeyondBlock);
    block = GetMultiple(filter, &mediums, sizeof mediums, &error);
    std::memcpy(&item, block.data(), 8);
    EXPECT_EQ(block.size(), 32u);
    EXPECT_EQ(item.Size, 32u + 64u);
    const KSPROPERTY nodes = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES);
    faults.Malform(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KsMalformation::SizeShort);
    block = GetMultiple(filter, &nodes, sizeof nodes, &error);
    std::memcpy(&item, block.data(), 8);
    EXPECT_EQ(block.size(), 8u + 32u);
    EXPECT_EQ(item.Size, 8u + 16u);  // less than its two GUIDs need
    EXPECT_EQ(item.Count, 2u);
    const KSP_PIN interfaces = PinProperty(KSPROPERTY_PIN_INTERFACES, 0);
    faults.Malform(KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, KsMalformation::GrowsAfterSizeQuery);
    block = GetMultiple(filter, &interfaces, sizeof interfaces, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MORE_DATA));
    ASSERT_EQ(block.size(), 32u);  // what fitted
    std::memcpy(&item, block.data(), 8);
    EXPECT_EQ(item.Size, 56u);
    EXPECT_EQ(item.Count, 2u);
    CloseHandle(filter);

    rig.console.Unplug();
    sim::KsDataRangeSpec zero, past;
    zero.formatSize = 0;
    past.formatSize = 0x10000;
    rig.ks().Options().renderRanges = std::vector<sim::KsDataRangeSpec>{zero, past};
    rig.ks().Options().renderPinName = std::u16string(300, u'N');
    rig.ks().Options().pinNamesTerminated = false;
    rig.console.Plug();
    filter = OpenFilter(rig.ks().RenderPath());
    block = GetMultiple(filter, &ranges, sizeof ranges, &error);
    ASSERT_EQ(block.size(), 8u + 2 * 88u);
    KSDATARANGE_AUDIO first, second;
    std::memcpy(&first, block.data() + 8, sizeof first);
    std::memcpy(&second, block.data() + 96, sizeof second);
    EXPECT_EQ(first.DataRange.FormatSize, 0u);
    EXPECT_EQ(second.DataRange.FormatSize, 0x10000u);
    BYTE name[520];
    std::memset(name, 0, sizeof name);
    DWORD bytes = 0;
    const KSP_PIN nameRequest = PinProperty(KSPROPERTY_PIN_NAME, 0);
    EXPECT_EQ(Request(filter, IOCTL_KS_PROPERTY, &nameRequest, sizeof nameRequest, name, 519, &bytes), 0u);
    EXPECT_EQ(bytes, 519u);
    EXPECT_EQ(name[518], 'N');  // up to the last byte asked for, no terminator
    EXPECT_EQ(name[519], 0);    // and nothing past it
    CloseHandle(filter);
}

}  // namespace
