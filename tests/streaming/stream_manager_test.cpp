// The stream manager against the simulated console: which filter it picks, which format each pin is
// opened with, and the order in which devices are started, stopped and removed.
#include <gtest/gtest.h>

#include <string>

#include "Service/Quillon/streaming/StreamManager.h"
#include "tests/streaming/StreamBench.h"

namespace {

const WAVEFORMATEXTENSIBLE& FormatOf(CKSDevice* device) {
    return *reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(device->m_pPin->m_pWaveFormatEx);
}

TEST(StreamManagerKey, PatternsAreLoweredWithBackslashesAsHashesAndBounded) {
    char key[300];
    CStreamManager::MakeSearchKey("USB\\VID_7A3E&PID_0072", key, sizeof key);
    EXPECT_STREQ(key, "usb#vid_7a3e&pid_0072");
    const std::string longPattern(400, 'A');
    CStreamManager::MakeSearchKey(longPattern.c_str(), key, sizeof key);
    EXPECT_EQ(std::string(key), std::string(256, 'a'));
    char tiny[4];
    CStreamManager::MakeSearchKey("ABCDEF", tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "abc");
}

TEST(StreamManager, OpensTheConsolesPinsWithTheFirstFormatsTheyAcceptAndStartsRenderFirst) {
    sim::Machine machine;
    sim::Console console(machine);  // accepts 24-in-32 and 16 bits
    console.Plug();
    streamtest::InProcess(machine, [&] {
        CStreamManager manager;
        manager.CreateFilterLists();
        EXPECT_TRUE(manager.RefreshFilterLists());
        EXPECT_TRUE(manager.CreateCaptureDevices("usb#vid_7a3e&pid_0073", 15, 96).empty());  // a Basso

        // Written in capitals with backslashes, the pattern still finds the console.
        auto capture = manager.CreateCaptureDevices("USB\\VID_7A3E&PID_0072", 16, 96);
        ASSERT_EQ(capture.size(), 1u);
        auto render = manager.CreateRenderDevices("usb#vid_7a3e&pid_0072", 10, 96);
        ASSERT_EQ(render.size(), 1u);
        EXPECT_EQ(capture[0]->m_nDirection, 1);
        EXPECT_EQ(render[0]->m_nDirection, 0);
        EXPECT_EQ(capture[0]->m_nPacketSize, 96u * 16u);
        EXPECT_EQ(render[0]->m_nPacketSize, 96u * 10u);
        EXPECT_EQ(render[0]->m_strModelPattern, "usb#vid_7a3e&pid_0072");
        EXPECT_FALSE(capture[0]->m_strName.empty());

        const auto& in = FormatOf(capture[0]);
        EXPECT_EQ(in.Format.wBitsPerSample, 32);
        EXPECT_EQ(in.Samples.wValidBitsPerSample, 24);
        EXPECT_EQ(in.dwChannelMask, 0u);
        EXPECT_EQ(in.Format.nChannels, 16);
        const auto& out = FormatOf(render[0]);
        EXPECT_EQ(out.Format.wBitsPerSample, 32);
        EXPECT_EQ(out.Samples.wValidBitsPerSample, 24);

        // Both kinds held: the lists are not refreshed under them.
        EXPECT_FALSE(manager.RefreshFilterLists());

        EXPECT_TRUE(manager.StartAll());
        auto running = manager.RunningDevices();
        ASSERT_EQ(running.size(), 2u);
        EXPECT_EQ(running[0], render[0]);  // created second, started first
        EXPECT_EQ(running[1], capture[0]);
        manager.StartAll();  // nothing new to start
        EXPECT_EQ(manager.RunningDevices().size(), 2u);
        EXPECT_EQ(console.Ks().RenderPin()->State(), KSSTATE_RUN);

        EXPECT_TRUE(manager.RemoveDevice(render[0]));
        EXPECT_EQ(manager.RunningDevices(), std::vector<CKSDevice*>{capture[0]});
        EXPECT_EQ(manager.Devices(), std::vector<CKSDevice*>{capture[0]});
        EXPECT_TRUE(manager.RefreshFilterLists());  // no render device any more
        EXPECT_EQ(manager.LockDepth(), 0);

        manager.DestroyAll();
        EXPECT_TRUE(manager.Devices().empty());
        EXPECT_TRUE(manager.RunningDevices().empty());
    });
    EXPECT_EQ(machine.HandleCount(), 0u);
}

TEST(StreamManager, CaptureNegotiationFallsBackThroughMasksAndDepths) {
    sim::Machine machine;
    sim::ConsoleConfig config;
    config.model = sim::ConsoleModel::Basso;
    sim::Console console(machine, config);
    // Only 16 bits, and extensible formats must name all fifteen channels.
    console.Ks().Options().sampleFormats = {{16, 16}};
    console.Ks().Options().channelMask = 0x7FFF;
    console.Plug();
    streamtest::InProcess(machine, [&] {
        CStreamManager manager;
        manager.CreateFilterLists();
        manager.RefreshFilterLists();
        auto capture = manager.CreateCaptureDevices("usb#vid_7a3e&pid_0073", 15, 192);
        ASSERT_EQ(capture.size(), 1u);
        const auto& in = FormatOf(capture[0]);
        EXPECT_EQ(in.dwChannelMask, 0x7FFFu);
        EXPECT_EQ(in.Format.wBitsPerSample, 16);
        EXPECT_EQ(in.Format.nBlockAlign, 30);
        // Render offers mask 0 only for ten channels: refused, so it falls back to plain PCM.
        auto render = manager.CreateRenderDevices("usb#vid_7a3e&pid_0073", 10, 192);
        ASSERT_EQ(render.size(), 1u);
        EXPECT_EQ(render[0]->m_pPin->m_pWaveFormatEx->wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(render[0]->m_pPin->m_pWaveFormatEx->wBitsPerSample, 16);
    });
}

}  // namespace
