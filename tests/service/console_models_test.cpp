// The model table the supervisor searches and the answers the bridge and the endpoint naming rely on.
#include <gtest/gtest.h>

#include <string>

#include "Service/Quillon/supervisor/ConsoleModels.h"

namespace {

struct Expected {
    const char* pattern;
    std::uint16_t capture;
    const char* name;
    const char* streamsNotUsed;  // one character per index 0..15: 'x' = not used
};

// Table order is the search order; the first model that finds its console wins.
const Expected kExpected[kConsoleModelCount] = {
    {"usb#vid_7a3e&pid_0072", 16, "Quillon Alto", "..........x....."},
    {"usb#vid_7a3e&pid_0078", 0, "Quillon Alto", "xxxxxxxxxxx....."},
    {"usb#vid_7a3e&pid_0094", 20, "Quillon Alto", "..........x....."},
    {"usb#vid_7a3e&pid_0073", 15, "Quillon Basso", "...xx..........."},
    {"usb#vid_7a3e&pid_0079", 0, "Quillon Basso", "xxxxxxxxxxx....."},
    {"usb#vid_7a3e&pid_0095", 20, "Quillon Basso", "...xx..........."},
};

TEST(ConsoleModels, TableOrderPatternsChannelsNamesAndStreams) {
    for (int m = 0; m < kConsoleModelCount; ++m) {
        SCOPED_TRACE(m);
        const CUSBDevice& model = *g_ConsoleModels[m];
        EXPECT_EQ(std::string(model.DevicePathPattern()), kExpected[m].pattern);
        EXPECT_EQ(model.CaptureChannels(), kExpected[m].capture);
        EXPECT_EQ(model.RenderChannels(), 10);
        EXPECT_EQ(std::string(model.DisplayName()), kExpected[m].name);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(model.UsesStream(i), kExpected[m].streamsNotUsed[i] != 'x') << i;
        EXPECT_TRUE(model.UsesStream(16));  // outside the range the rules still answer
    }
}

TEST(ConsoleModels, UsedCaptureChannelsFitTheCapturePin) {
    // The bridge packs the used capture streams in index order: 1 channel for 1-4 and 10, 2 otherwise.
    for (const CUSBDevice* model : g_ConsoleModels) {
        unsigned channels = 0;
        for (int i = 0; i <= 10; ++i)
            if (model->UsesStream(i)) channels += ((i >= 1 && i <= 4) || i == 10) ? 1 : 2;
        EXPECT_LE(channels, model->CaptureChannels()) << model->DevicePathPattern();
    }
}

TEST(ConsoleModels, RenderOffsetsPlaceTheFiveStereoPairs) {
    for (int i = 0; i <= 10; ++i) EXPECT_EQ(g_RenderChannelOffsets[i], -1) << i;
    EXPECT_EQ(g_RenderChannelOffsets[11], 0);
    EXPECT_EQ(g_RenderChannelOffsets[12], 2);
    EXPECT_EQ(g_RenderChannelOffsets[13], 4);
    EXPECT_EQ(g_RenderChannelOffsets[14], 6);
    EXPECT_EQ(g_RenderChannelOffsets[15], 8);
}

}  // namespace
