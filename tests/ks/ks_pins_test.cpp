// Filters, pins and audio pins against small test drivers: classification, description reads (also of
// malformed driver data), state stepping, stream requests, format matching, the connection request, the
// WaveRT buffer and the render side's fallback.
#include <gtest/gtest.h>

#include <string>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudPin.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "platform/sim/include/sim/debug_output.h"
#include "platform/sim/include/sim/modules.h"
#include "tests/ks/KsTestDevices.h"

namespace {

using kstest::AudioRange;
using kstest::PinSpec;
using kstest::TestFilter;

const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

template <class T>
std::vector<T*> Items(const KsList<T>& list) {
    std::vector<T*> items;
    for (auto* node = list.GetHead(); node; node = node->pNext) items.push_back(node->pItem);
    return items;
}

WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD container, WORD valid, DWORD rate = 48000) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = container;
    f.Format.nBlockAlign = static_cast<WORD>(channels * container / 8);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = valid;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate = 48000) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    return f;
}

class KsPins : public ::testing::Test {
protected:
    // Plugs the test driver and opens it as a filter of type F with its pins enumerated.
    template <class F>
    std::unique_ptr<F> Open(std::vector<PinSpec> pins, HRESULT* enumerated = nullptr) {
        device->pins = std::move(pins);
        if (path.empty()) path = kstest::PlugFilter(machine, device, "A");
        HRESULT hr = E_FAIL;
        auto filter = std::make_unique<F>(W(path), &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        hr = filter->EnumeratePins();
        if (enumerated) *enumerated = hr;
        else EXPECT_EQ(hr, S_OK);
        return filter;
    }
    bool Logged(const std::string& message) {
        const auto lines = sim::DebugOutput(machine);
        return std::find(lines.begin(), lines.end(), "\n[KS]:" + message) != lines.end();
    }
    void TearDown() override { g_ulKsDebugLevel = 0; }

    sim::Machine machine;
    std::shared_ptr<TestFilter> device = std::make_shared<TestFilter>(machine);
    std::u16string path;
};

PinSpec Pin(ULONG communication, ULONG flow) {
    PinSpec pin;
    pin.communication = communication;
    pin.dataFlow = flow;
    return pin;
}

TEST_F(KsPins, PinsAreSortedByDataFlowAndCommunication) {
    auto filter = Open<CKsFilter>({Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN),
                                   Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_OUT),
                                   Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN), Pin(7, KSPIN_DATAFLOW_OUT)});
    const auto pins = Items(filter->m_listPins);
    ASSERT_EQ(pins.size(), 4u);
    EXPECT_EQ(Items(filter->m_listInSinkPins), (std::vector<CKsPin*>{pins[0]}));
    EXPECT_EQ(Items(filter->m_listInSourcePins), (std::vector<CKsPin*>{pins[0]}));
    EXPECT_EQ(Items(filter->m_listOutSinkPins), (std::vector<CKsPin*>{pins[1]}));
    EXPECT_EQ(Items(filter->m_listOutSourcePins), (std::vector<CKsPin*>{pins[1]}));
    EXPECT_EQ(Items(filter->m_listBridgePins), (std::vector<CKsPin*>{pins[2]}));  // pin 3 is in no list

    // The audio enumeration makes a capture pin of BOTH/OUT and leaves out NONE and nonsense.
    auto audio = Open<CKsAudCapFilter>({Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_OUT),
                                        Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_OUT), Pin(7, KSPIN_DATAFLOW_OUT)});
    const auto audioPins = Items(audio->m_listPins);
    ASSERT_EQ(audioPins.size(), 1u);
    EXPECT_EQ(audioPins[0]->m_ePinType, 2);
    EXPECT_EQ(Items(audio->m_listOutSinkPins), audioPins);
    EXPECT_EQ(Items(audio->m_listOutSourcePins), audioPins);
}

TEST_F(KsPins, AFilterOfBridgePinsOnlyIsViableButNotAsAnAudioFilter) {
    g_ulKsDebugLevel = 1;
    const std::vector<PinSpec> bridges = {Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN),
                                          Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_OUT)};
    auto plain = Open<CKsFilter>(bridges);
    EXPECT_EQ(plain->m_listBridgePins.GetCount(), 2u);
    HRESULT hr = S_OK;
    auto audio = Open<CKsAudRenFilter>(bridges, &hr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_TRUE(audio->m_listPins.IsEmpty());
    EXPECT_TRUE(Logged("No valid pins found on the filter"));
}

TEST_F(KsPins, LongPathsAreCutAndNodesKeepTheDriversOrder) {
    const std::u16string longPath(300, u'p');
    HRESULT hr = E_FAIL;
    CKsFilter cut(W(longPath), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(cut.m_szFilterName)), longPath.substr(0, 259));
    CKsFilter none(nullptr, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);

    device->nodes = {KSNODETYPE_DAC, KSNODETYPE_VOLUME, KSNODETYPE_SPEAKER};
    auto filter = Open<CKsFilter>({PinSpec{}});
    EXPECT_EQ(filter->EnumerateNodes(), S_OK);
    const auto nodes = Items(filter->m_listNodes);
    ASSERT_EQ(nodes.size(), 3u);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(nodes[i]->m_ulNodeId, i);
        EXPECT_EQ(nodes[i]->m_guidType, device->nodes[i]);
        EXPECT_EQ(nodes[i]->m_ulTag, kKsNodeTagNone);
    }
}

TEST_F(KsPins, UnreadPropertiesLeaveZerosAndOnlyTheNameDoesNotCount) {
    device->failures[{KSPROPSETID_Pin.Data1, KSPROPERTY_PIN_NAME}] = ERROR_NOT_FOUND;
    auto filter = Open<CKsFilter>({PinSpec{}});
    device->pins = {PinSpec{}};
    HRESULT hr = E_FAIL;
    CKsPin named(filter.get(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(named.m_szPinName[0], 0);

    device->failures[{KSPROPSETID_Pin.Data1, KSPROPERTY_PIN_MEDIUMS}] = ERROR_GEN_FAILURE;
    CKsPin partial(filter.get(), 0, &hr);
    EXPECT_EQ(hr, 1);
    EXPECT_EQ(partial.m_cMediums, 0u);
    EXPECT_EQ(partial.m_pMediums, nullptr);
    EXPECT_EQ(partial.m_cInterfaces, 1u);
}

// Malformed driver data: nothing outside the driver's answer is read (the sanitizer builds check the
// reads), the walk ends, and the pin keeps only what was sound.
TEST_F(KsPins, MalformedDataRangesNeverLeadOutsideTheAnswer) {
    auto ranges = [](std::vector<KSDATARANGE_AUDIO> list, ULONG count) {
        return kstest::MultipleItem(list.data(), static_cast<ULONG>(list.size() * sizeof(KSDATARANGE_AUDIO)), count);
    };
    KSDATARANGE_AUDIO zero = AudioRange(8, 16, 16);
    zero.DataRange.FormatSize = 0;
    KSDATARANGE_AUDIO tooLong = AudioRange(8, 16, 16);
    tooLong.DataRange.FormatSize = 4096;
    PinSpec zeroSecond, zeroFirst, pastEnd, countTooBig;
    zeroSecond.rangesBlock = ranges({AudioRange(8, 16, 24), zero, AudioRange(8, 16, 32)}, 3);
    zeroFirst.rangesBlock = ranges({zero, AudioRange(8, 16, 24)}, 2);
    pastEnd.rangesBlock = ranges({AudioRange(8, 16, 24), tooLong}, 2);
    countTooBig.rangesBlock = ranges({AudioRange(8, 16, 24)}, 1000);
    HRESULT hr = S_OK;
    auto filter = Open<CKsAudRenFilter>({zeroSecond, zeroFirst, pastEnd, countTooBig}, &hr);
    const auto pins = Items(filter->m_listPins);
    ASSERT_EQ(pins.size(), 2u);  // a walk that found no range, and a list whose count lies, drop their pins
    EXPECT_EQ(pins[0]->m_ulPinId, 0u);
    EXPECT_EQ(static_cast<CKsAudPin*>(pins[0])->m_listDataRanges.GetCount(), 1u);
    EXPECT_EQ(pins[1]->m_ulPinId, 2u);
    EXPECT_EQ(static_cast<CKsAudPin*>(pins[1])->m_listDataRanges.GetCount(), 1u);
}

// The walk from one range to the next: FormatSize rounded up to 8, past an attribute list (its own Size,
// aligned again) when the range says it has one; a list that does not fit ends the walk.
TEST(KsDataRangeWalk, StepsByAlignedSizesAndOverAttributeLists) {
    struct Case {
        const char* what;
        ULONG formatSize;
        bool attributes;
        ULONG listSize;  // the attribute list's KSMULTIPLE_ITEM.Size
        ULONG answer;    // bytes of ranges in the answer
        bool ok;
        ULONG next;
    };
    const Case cases[] = {
        {"plain", 88, false, 0, 400, true, 88},
        {"size not a multiple of 8", 90, false, 0, 400, true, 96},
        {"the last range, unpadded", 90, false, 0, 90, true, 90},
        {"attribute list", 88, true, 8 + 2 * 24, 400, true, 144},
        {"attribute list after an odd size", 90, true, 8 + 24, 400, true, 128},
        {"attribute list of an odd size", 88, true, 8 + 20, 400, true, 120},
        {"attribute list past the answer", 88, true, 8 + 2 * 24, 120, false, 0},
        {"attribute list header cut off", 88, true, 8, 92, false, 0},
        {"attribute list shorter than its header", 88, true, 4, 400, false, 0},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> block(512, 0);
        KSDATARANGE range{};
        range.FormatSize = c.formatSize;
        range.Flags = c.attributes ? KSDATARANGE_ATTRIBUTES : 0;
        const KSMULTIPLE_ITEM list{c.listSize, 1};
        std::memcpy(block.data() + (c.formatSize + 7) / 8 * 8, &list, sizeof list);
        ULONG next = 0;
        EXPECT_EQ(KsNextDataRange(block.data(), c.answer, 0, range, &next), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(next, c.next) << c.what;
        }
    }
}

TEST_F(KsPins, ListsThatDisagreeWithTheBytesReturnedAreNotRead) {
    PinSpec sizeTooBig;
    const KSIDENTIFIER standard = kstest::Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING);
    sizeTooBig.interfacesBlock = kstest::MultipleItem(&standard, sizeof standard, 1);
    reinterpret_cast<KSMULTIPLE_ITEM*>(sizeTooBig.interfacesBlock.data())->Size = 4000;
    auto filter = Open<CKsFilter>({sizeTooBig, PinSpec{}});
    const auto pins = Items(filter->m_listPins);
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[0]->m_cInterfaces, 0u);
    EXPECT_EQ(pins[0]->m_pInterfacesItem, nullptr);
    EXPECT_EQ(pins[1]->m_cInterfaces, 1u);

    // The device grows between the size query and the fetch: its header claims more than was returned.
    device->growAfterQuery = sizeof(KSDATARANGE_AUDIO);
    device->nodes = {KSNODETYPE_DAC};
    HRESULT hr = S_OK;
    auto grown = Open<CKsAudRenFilter>({PinSpec{}}, &hr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_TRUE(grown->m_listPins.IsEmpty());
    EXPECT_EQ(grown->EnumerateNodes(), E_FAIL);
    EXPECT_TRUE(grown->m_listNodes.IsEmpty());
}

TEST_F(KsPins, APinNameWithoutTerminatorStaysInsideItsField) {
    device->nameWithoutTerminator = true;
    auto filter = Open<CKsFilter>({PinSpec{}});
    CKsPin* pin = filter->m_listPins.GetHead()->pItem;
    std::size_t length = 0;
    while (length < kKsPinNameUnits && pin->m_szPinName[length]) ++length;
    EXPECT_EQ(length, kKsPinNameUnits - 1);
}

TEST_F(KsPins, StatesAreSteppedOneAtATimeAndStreamsNeedPause) {
    kstest::InProcess(machine, [&] {
        auto filter = Open<CKsAudRenFilter>({PinSpec{}});
        auto* pin = static_cast<CKsAudPin*>(filter->m_listInSinkPins.GetHead()->pItem);
        WAVEFORMATEXTENSIBLE format = Extensible(10, 32, 32);
        ASSERT_EQ(pin->SetFormat(&format.Format), S_OK);
        ASSERT_EQ(pin->Instantiate(FALSE, TRUE), S_OK);
        ASSERT_EQ(device->created.size(), 1u);
        auto& instance = *device->created[0];

        instance.failState[KSSTATE_PAUSE] = ERROR_GEN_FAILURE;
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), E_FAIL);
        EXPECT_EQ(pin->m_ksState, KSSTATE_ACQUIRE);
        KSSTREAM_HEADER header{};
        header.Size = sizeof header;
        OVERLAPPED overlapped{};
        EXPECT_EQ(pin->ReadData(&header, &overlapped), E_ABORT);
        EXPECT_TRUE(instance.streamCodes.empty());

        instance.failState.clear();
        instance.states.clear();
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
        EXPECT_EQ(instance.states, (std::vector<ULONG>{KSSTATE_PAUSE, KSSTATE_RUN}));
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
        EXPECT_EQ(instance.states.size(), 2u);  // the current state sends nothing
        EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(pin->ReadData(&header, &overlapped), S_OK);
        EXPECT_EQ(pin->WriteData(&header, &overlapped), S_OK);
        EXPECT_EQ(instance.streamCodes, (std::vector<DWORD>{IOCTL_KS_READ_STREAM, IOCTL_KS_WRITE_STREAM}));

        EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
        instance.states.clear();
        pin->ClosePin();
        EXPECT_EQ(instance.states, (std::vector<ULONG>{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
        EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
        pin->ClosePin();  // closed: nothing happens
        CloseHandle(overlapped.hEvent);

        // A pin closed while its stop was refused: the next instance still starts in KSSTATE_STOP and is
        // walked up from there.
        ASSERT_EQ(pin->Instantiate(FALSE, TRUE), S_OK);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
        device->created[1]->failState[KSSTATE_PAUSE] = ERROR_GEN_FAILURE;
        pin->ClosePin();
        EXPECT_EQ(pin->m_ksState, KSSTATE_STOP);
        ASSERT_EQ(pin->Instantiate(FALSE, TRUE), S_OK);
        EXPECT_EQ(pin->m_ksState, KSSTATE_STOP);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
        EXPECT_EQ(device->created[2]->states, (std::vector<ULONG>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
        pin->ClosePin();

        // A plain pin has no connection request: nothing is created.
        HRESULT hr = E_FAIL;
        CKsPin plain(filter.get(), 0, &hr);
        EXPECT_EQ(plain.Instantiate(TRUE, TRUE), S_OK);
        EXPECT_FALSE(CKsIrpTarget::IsValidHandle(plain.GetHandle()));
        EXPECT_EQ(device->created.size(), 3u);
    });
}

TEST_F(KsPins, PinCreationFallsBackToKsCreatePinAndReportsWin32Codes) {
    machine.Mods().RemoveExport("ksuser.dll", "KsCreatePin2");
    kstest::InProcess(machine, [&] {
        auto filter = Open<CKsAudRenFilter>({PinSpec{}});
        auto* pin = static_cast<CKsAudPin*>(filter->m_listInSinkPins.GetHead()->pItem);
        WAVEFORMATEX format = Pcm(2, 16);
        pin->SetFormat(&format);
        machine.InjectFailure("KsCreatePin", ERROR_ACCESS_DENIED);
        EXPECT_EQ(pin->Instantiate(FALSE, FALSE), static_cast<HRESULT>(0x80070005L));
        EXPECT_EQ(pin->Instantiate(FALSE, FALSE), S_OK);
        EXPECT_EQ(machine.CallCount("KsCreatePin"), 2u);
        pin->ClosePin();
    });
}

TEST_F(KsPins, WithoutTheLibraryPinCreationFailsAsFileNotFound) {
    machine.Mods().RemoveLibrary("ksuser.dll");
    kstest::InProcess(machine, [&] {
        auto filter = Open<CKsAudRenFilter>({PinSpec{}});
        auto* pin = static_cast<CKsAudPin*>(filter->m_listInSinkPins.GetHead()->pItem);
        WAVEFORMATEX format = Pcm(2, 16);
        pin->SetFormat(&format);
        EXPECT_EQ(pin->Instantiate(FALSE, FALSE), static_cast<HRESULT>(0x80070002L));
        EXPECT_TRUE(device->connects.empty());
    });
}

TEST_F(KsPins, LoopedStreamingIsFoundWhereverThePinListsIt) {
    PinSpec looped;
    looped.looped = true;  // looped first, then standard
    PinSpec loopedLast;
    const KSIDENTIFIER ids[] = {kstest::Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING),
                                kstest::Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING)};
    loopedLast.interfacesBlock = kstest::MultipleItem(ids, sizeof ids, 2);
    auto filter = Open<CKsAudRenFilter>({PinSpec{}, looped, loopedLast});
    const auto pins = Items(filter->m_listPins);
    ASSERT_EQ(pins.size(), 3u);
    EXPECT_FALSE(static_cast<CKsAudPin*>(pins[0])->m_bLoopedSupported);
    EXPECT_TRUE(static_cast<CKsAudPin*>(pins[1])->m_bLoopedSupported);
    EXPECT_TRUE(static_cast<CKsAudPin*>(pins[2])->m_bLoopedSupported);
}

TEST_F(KsPins, OnlyAudioRangesAfterTheFirstWaveSubTypeAreKept) {
    auto nonWave = AudioRange(8, 16, 16, 44100, 48000, KSDATAFORMAT_SPECIFIER_NONE);
    auto video = AudioRange(8, 16, 16, 44100, 48000, KSDATAFORMAT_SPECIFIER_NONE);
    video.DataRange.MajorFormat = KSNODETYPE_DAC;
    PinSpec first, second;
    first.ranges = {AudioRange(8, 16, 16), nonWave};
    second.ranges = {video, AudioRange(8, 16, 16)};
    auto filter = Open<CKsAudRenFilter>({first, second});
    const auto pins = Items(filter->m_listPins);
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(static_cast<CKsAudPin*>(pins[0])->m_listDataRanges.GetCount(), 2u);
    EXPECT_EQ(static_cast<CKsAudPin*>(pins[1])->m_listDataRanges.GetCount(), 1u);
}

TEST_F(KsPins, FormatsMatchOnValidBitsChannelsAndRateBounds) {
    PinSpec pin;
    pin.ranges = {AudioRange(10, 16, 24, 44100, 48000)};
    PinSpec any;
    any.ranges = {AudioRange(0xFFFFFFFF, 16, 32, 8000, 192000)};
    auto filter = Open<CKsAudRenFilter>({pin, any});
    const auto pins = Items(filter->m_listPins);
    auto* ranged = static_cast<CKsAudPin*>(pins[0]);
    auto* unlimited = static_cast<CKsAudPin*>(pins[1]);

    WAVEFORMATEXTENSIBLE f = Extensible(10, 32, 24);
    EXPECT_TRUE(ranged->IsFormatSupported(&f.Format));  // 24 valid bits in 32-bit containers
    f = Extensible(10, 32, 32);
    EXPECT_FALSE(ranged->IsFormatSupported(&f.Format));
    f = Extensible(11, 16, 16);
    EXPECT_FALSE(ranged->IsFormatSupported(&f.Format));
    EXPECT_EQ(ranged->GetChannelsForFormat(&f.Format), 10);  // the channel test is left out there
    WAVEFORMATEX p = Pcm(2, 16, 44099);
    EXPECT_FALSE(ranged->IsFormatSupported(&p));
    p = Pcm(2, 16, 48000);
    EXPECT_TRUE(ranged->IsFormatSupported(&p));
    p.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_FALSE(ranged->IsFormatSupported(&p));

    f = Extensible(0, 16, 16);
    EXPECT_FALSE(unlimited->IsFormatSupported(&f.Format));
    f = Extensible(64, 16, 16);
    EXPECT_TRUE(unlimited->IsFormatSupported(&f.Format));
}

TEST_F(KsPins, TheConnectionRequestFollowsTheFormatAndTheInstanceArguments) {
    kstest::InProcess(machine, [&] {
        auto filter = Open<CKsAudRenFilter>({PinSpec{}});
        auto* pin = static_cast<CKsAudPin*>(filter->m_listInSinkPins.GetHead()->pItem);
        EXPECT_EQ(pin->m_cbPinConnect, 154u);
        WAVEFORMATEXTENSIBLE ext = Extensible(10, 32, 24);
        ASSERT_EQ(pin->SetFormat(&ext.Format), S_OK);
        EXPECT_EQ(pin->m_cbPinConnect, 176u);
        EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 104u);
        EXPECT_EQ(pin->m_pksDataFormatWfx->SampleSize, 40u);
        EXPECT_EQ(pin->m_pksDataFormatWfx->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        EXPECT_EQ(pin->m_pWaveFormatEx->nChannels, 10);
        ASSERT_EQ(pin->Instantiate(TRUE, TRUE), S_OK);
        pin->ClosePin();

        WAVEFORMATEX pcm = Pcm(2, 16);
        ASSERT_EQ(pin->SetFormat(&pcm), S_OK);
        EXPECT_EQ(pin->m_cbPinConnect, 154u);
        EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
        ASSERT_EQ(pin->Instantiate(FALSE, FALSE), S_OK);
        pin->ClosePin();
        EXPECT_EQ(pin->SetFormat(nullptr), E_FAIL);

        ASSERT_EQ(device->connects.size(), 2u);
        KSPIN_CONNECT first, second;
        std::memcpy(&first, device->connects[0].data(), sizeof first);
        std::memcpy(&second, device->connects[1].data(), sizeof second);
        EXPECT_EQ(device->connects[0].size(), 176u);
        EXPECT_EQ(first.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
        EXPECT_EQ(first.Priority.PriorityClass, static_cast<ULONG>(KSPRIORITY_EXCLUSIVE));
        EXPECT_EQ(device->connects[1].size(), 154u);
        EXPECT_EQ(second.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
        EXPECT_EQ(second.Priority.PriorityClass, static_cast<ULONG>(KSPRIORITY_NORMAL));
        EXPECT_EQ(second.Priority.PrioritySubClass, 1u);
        WAVEFORMATEX sent;
        std::memcpy(&sent, device->connects[1].data() + 136, sizeof sent);
        EXPECT_EQ(sent.nChannels, 2);
        EXPECT_EQ(sent.wBitsPerSample, 16);

        // No channel count: the pin's range supplies it, and the caller's extensible format gets its mask.
        WAVEFORMATEXTENSIBLE open = Extensible(0, 16, 16);
        ASSERT_EQ(pin->SetFormat(&open.Format), S_OK);
        EXPECT_EQ(pin->m_pWaveFormatEx->nChannels, 16);
        EXPECT_EQ(pin->m_pWaveFormatEx->nBlockAlign, 32);
        EXPECT_EQ(open.dwChannelMask, 0xFFFFu);
    });
}

TEST_F(KsPins, TheRealTimeBufferIsCachedAndEachRegistrationGetsAFreshEvent) {
    kstest::InProcess(machine, [&] {
        auto filter = Open<CKsAudRenFilter>({PinSpec{}});
        auto* pin = static_cast<CKsAudPin*>(filter->m_listInSinkPins.GetHead()->pItem);
        WAVEFORMATEXTENSIBLE format = Extensible(2, 16, 16);
        pin->SetFormat(&format.Format);
        ASSERT_EQ(pin->Instantiate(TRUE, TRUE), S_OK);
        auto& instance = *device->created[0];
        pin->FreeBuffersWithNotification();  // no event: nothing sent
        EXPECT_TRUE(instance.unregistered.empty());

        instance.minBuffer = 1000;
        void* buffer = nullptr;
        ULONG size = 0;
        ASSERT_EQ(pin->AllocateBuffersWithNotification(995, &buffer, &size), S_OK);
        EXPECT_EQ(instance.bufferRequests, (std::vector<ULONG>{995, 997, 999, 1001}));  // steps of the channel count
        EXPECT_EQ(buffer, instance.buffer);
        EXPECT_EQ(size, 1001u);
        ASSERT_EQ(instance.registered.size(), 1u);
        EXPECT_EQ(instance.positionRegisterRequests, 1u);
        const HANDLE firstEvent = pin->m_hNotificationEvent;

        ASSERT_EQ(pin->AllocateBuffersWithNotification(4000, &buffer, &size), S_OK);
        EXPECT_EQ(instance.bufferRequests.size(), 4u);
        EXPECT_EQ(size, 1001u);
        ASSERT_EQ(instance.registered.size(), 2u);
        EXPECT_EQ(instance.unregistered, (std::vector<HANDLE>{firstEvent}));  // the earlier event is not leaked
        EXPECT_EQ(pin->AllocateBuffer(10, &buffer, &size), S_OK);            // cached as well
        EXPECT_EQ(instance.bufferRequests.size(), 4u);

        const auto events = machine.HandleCount("Event");
        pin->FreeBuffersWithNotification();
        EXPECT_EQ(pin->m_hNotificationEvent, nullptr);
        EXPECT_EQ(machine.HandleCount("Event"), events - 1);

        KSAUDIO_POSITION position{};
        EXPECT_EQ(pin->GetPosition(&position), S_OK);
        EXPECT_EQ(position.WriteOffset, 200u);
        EXPECT_EQ(pin->SetBufferDuration(4), S_OK);
        EXPECT_EQ(instance.durations, (std::vector<ULONG>{4}));

        // A driver that refuses every size gives up at 64 KiB with its own error.
        ASSERT_EQ(pin->Reinstantiate(), S_OK);
        auto& fresh = *device->created[1];
        fresh.minBuffer = 0xFFFFFFFF;
        EXPECT_EQ(pin->AllocateBuffersWithNotification(65000, &buffer, &size), E_FAIL);
        EXPECT_EQ(fresh.bufferRequests.back(), 65534u);
        EXPECT_TRUE(fresh.registered.empty());
        // A driver without the property refuses every size alike: it is asked once.
        fresh.minBuffer = 0;
        fresh.noNotification = true;
        fresh.bufferRequests.clear();
        EXPECT_EQ(pin->AllocateBuffersWithNotification(960, &buffer, &size), E_NOTIMPL);
        EXPECT_EQ(fresh.bufferRequests, (std::vector<ULONG>{960}));
        EXPECT_EQ(pin->m_pRtBuffer, nullptr);
        EXPECT_TRUE(fresh.registered.empty());
        fresh.noNotification = false;
        // The buffer goes with the instance that had it: closing forgets it, so the next instance
        // asks for one of its own.
        fresh.minBuffer = 0;
        ASSERT_EQ(pin->AllocateBuffer(960, &buffer, &size), S_OK);
        ASSERT_NE(pin->m_pRtBuffer, nullptr);
        pin->ClosePin();
        EXPECT_EQ(pin->m_pRtBuffer, nullptr);
        EXPECT_EQ(pin->m_cbRtBuffer, 0u);
        EXPECT_EQ(pin->m_pPositionRegister, nullptr);
    });
}

TEST_F(KsPins, RenderPinsFallBackToAPinThatDoesNotClaimTheFormatButCapturePinsDoNot) {
    PinSpec claims;
    claims.ranges = {AudioRange(10, 16, 32)};
    claims.createError = ERROR_ACCESS_DENIED;
    PinSpec quiet;
    quiet.ranges = {AudioRange(2, 16, 16)};
    WAVEFORMATEXTENSIBLE format = Extensible(10, 32, 32);
    kstest::InProcess(machine, [&] {
        auto render = Open<CKsAudRenFilter>({claims, quiet});
        CKsAudPin* pin = render->CreateRenderPin(&format.Format);
        ASSERT_NE(pin, nullptr);
        EXPECT_EQ(pin->m_ulPinId, 1u);
        EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
        pin->ClosePin();
        render.reset();

        claims.dataFlow = quiet.dataFlow = KSPIN_DATAFLOW_OUT;
        auto capture = Open<CKsAudCapFilter>({claims, quiet});
        EXPECT_EQ(capture->CreateCapturePin(&format.Format), nullptr);
        EXPECT_EQ(capture->FindViablePin(&format.Format), capture->m_listOutSinkPins.GetHead()->pItem);

        g_ulKsDebugLevel = 6;
        auto noRender = Open<CKsAudRenFilter>({claims});
        EXPECT_EQ(noRender->CreateRenderPin(&format.Format), nullptr);
        EXPECT_TRUE(Logged("Could not find a Render pin that supports the given wave format"));
        EXPECT_TRUE(Logged("CKsAudRenFilter::CreateRenderPin Leave, returning 0x80004005"));
    });
}

}  // namespace
