// The tray's decisions on their own: the heartbeat rule, the menu's ids and states, the notices' flags
// and the widening of the service's texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "Service/QuillonSystray/HeartbeatRule.h"
#include "Service/QuillonSystray/TrayMenuModel.h"
#include "Service/QuillonSystray/TrayNotices.h"
#include "Service/QuillonSystray/TrayText.h"
#include "platform/sim/include/sim/text.h"

namespace {

TEST(HeartbeatRule, FiveApartIsHealthySixIsLostInEitherDirection) {
    EXPECT_FALSE(HeartbeatLost(100, 100));
    EXPECT_FALSE(HeartbeatLost(105, 100));
    EXPECT_TRUE(HeartbeatLost(106, 100));
    EXPECT_FALSE(HeartbeatLost(100, 105));
    EXPECT_TRUE(HeartbeatLost(100, 106));
}

TEST(HeartbeatRule, CountsAcrossTheWrapOfThe32BitCounters) {
    EXPECT_FALSE(HeartbeatLost(2, 0xFFFFFFFDu));  // 2 - (-3) = 5
    EXPECT_TRUE(HeartbeatLost(3, 0xFFFFFFFDu));
    EXPECT_FALSE(HeartbeatLost(0x80000002u, 0x7FFFFFFDu));  // across the signed boundary: 5
    EXPECT_EQ(HeartbeatDistance(0x7FFFFFFFu, 0x80000000u), 1u);
}

TEST(HeartbeatRule, TheMostNegativeDifferenceIsFarApartNotAnOverflow) {
    // counter - echo = INT_MIN: its absolute value does not fit a signed 32-bit integer.
    EXPECT_EQ(HeartbeatDistance(0x80000000u, 0), 0x80000000u);
    EXPECT_EQ(HeartbeatDistance(0, 0x80000000u), 0x80000000u);
    EXPECT_TRUE(HeartbeatLost(0x80000000u, 0));
    EXPECT_TRUE(HeartbeatLost(0, 0x80000000u));
}

struct Lines {
    const WCHAR* const all[3] = {u"Quillon Alto (A1)", u"Firmware Version: 1.23", u"App Version: 1.0.3.0"};
};

std::string Text(const TrayMenuEntry& e) { return e.text ? sim::Narrow(e.text) : std::string(); }

TEST(TrayMenuModel, WithStatusAndSubmenuIdsFollowTheLatencyItems) {
    const Lines lines;
    const CTrayMenuModel model(true, true, 1, 0, lines.all);
    ASSERT_EQ(model.LatencyCount(), 2u);
    EXPECT_EQ(model.Latency(0).id, 1u);
    EXPECT_EQ(Text(model.Latency(0)), "Ultra-low");
    EXPECT_TRUE(model.Latency(0).flags & MF_CHECKED);
    EXPECT_EQ(model.Latency(1).id, 2u);
    EXPECT_FALSE(model.Latency(1).flags & MF_CHECKED);

    ASSERT_EQ(model.MainCount(), 9u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(model.Main(i).id, 3 + i);
        EXPECT_EQ(model.Main(i).flags, static_cast<UINT>(MF_GRAYED));
        EXPECT_EQ(model.Main(i).text, lines.all[i]);
    }
    EXPECT_EQ(model.Main(3).flags, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(model.Main(3).id, 6u);
    EXPECT_EQ(Text(model.Main(4)), "Bypass");
    EXPECT_EQ(model.Main(4).id, 7u);
    EXPECT_EQ(model.Main(4).flags, 0u);  // bridging on: not checked, selectable
    EXPECT_EQ(model.Main(5).flags, static_cast<UINT>(MF_POPUP));
    EXPECT_EQ(Text(model.Main(5)), "Latency");
    EXPECT_EQ(model.Main(6).id, 8u);
    EXPECT_EQ(Text(model.Main(7)), "User Guide");
    EXPECT_EQ(model.Main(7).id, 9u);
    EXPECT_EQ(Text(model.Main(8)), "Quit");
    EXPECT_EQ(model.Main(8).id, 10u);

    EXPECT_EQ(model.CommandFor(1), ETrayCommand::UltraLow);
    EXPECT_EQ(model.CommandFor(2), ETrayCommand::Low);
    EXPECT_EQ(model.CommandFor(7), ETrayCommand::Bypass);
    EXPECT_EQ(model.CommandFor(9), ETrayCommand::UserGuide);
    EXPECT_EQ(model.CommandFor(10), ETrayCommand::Quit);
    for (UINT id : {0u, 3u, 4u, 5u, 6u, 8u, 11u}) EXPECT_EQ(model.CommandFor(id), ETrayCommand::None) << id;
}

TEST(TrayMenuModel, WithoutTheSubmenuIdsStartAtOneAndStatusLinesCannotPassForLatencyChoices) {
    const Lines lines;
    const CTrayMenuModel model(true, false, 1, 0, lines.all);
    EXPECT_EQ(model.LatencyCount(), 0u);
    ASSERT_EQ(model.MainCount(), 8u);
    EXPECT_EQ(model.Main(0).id, 1u);
    EXPECT_EQ(model.Main(2).id, 3u);
    EXPECT_EQ(model.Main(3).id, 4u);
    EXPECT_EQ(model.BypassId(), 5u);
    EXPECT_EQ(model.UserGuideId(), 7u);
    EXPECT_EQ(model.QuitId(), 8u);
    for (std::size_t i = 0; i < model.MainCount(); ++i) EXPECT_FALSE(model.Main(i).flags & MF_POPUP);
    EXPECT_EQ(model.CommandFor(1), ETrayCommand::None);
    EXPECT_EQ(model.CommandFor(2), ETrayCommand::None);
}

TEST(TrayMenuModel, ServiceStoppedShowsOneGrayedLineAndAGrayedBypass) {
    const Lines lines;
    const CTrayMenuModel withLatency(false, true, 0, 0, lines.all);
    ASSERT_EQ(withLatency.MainCount(), 7u);
    EXPECT_EQ(Text(withLatency.Main(0)), "Quillon Service Stopped");
    EXPECT_EQ(withLatency.Main(0).id, 3u);
    EXPECT_EQ(withLatency.Main(0).flags, static_cast<UINT>(MF_GRAYED));
    EXPECT_EQ(withLatency.Main(1).id, 4u);
    EXPECT_EQ(withLatency.BypassId(), 5u);
    EXPECT_EQ(withLatency.Main(2).flags, static_cast<UINT>(MF_GRAYED));  // not checked although Enabled is 0
    EXPECT_EQ(withLatency.QuitId(), 8u);

    const CTrayMenuModel bare(false, false, 1, 0, lines.all);
    EXPECT_EQ(bare.Main(0).id, 1u);
    EXPECT_EQ(bare.BypassId(), 3u);
    EXPECT_EQ(bare.QuitId(), 6u);
}

TEST(TrayNotices, NoticesFollowTheServiceAndTheConsoleBit) {
    EXPECT_EQ(ServiceNotice(false), ETrayNotice::ServiceNotRunning);
    EXPECT_EQ(ServiceNotice(true), ETrayNotice::ServiceRunning);
    EXPECT_EQ(ConsoleNotice(1), ETrayNotice::ConsoleConnected);
    EXPECT_EQ(ConsoleNotice(0), ETrayNotice::ConsoleRemoved);
}

TEST(StatusLines, AnUnterminatedFieldIsCutAt64UnitsAndBytesMapToTheirOwnCodeUnit) {
    // Three fields back to back, the first with no terminator: the line must stop at the field's end.
    struct {
        char first[kSharedTextSize];
        char second[kSharedTextSize];
    } fields;
    std::memset(fields.first, 'A', sizeof fields.first);
    fields.first[10] = static_cast<char>(0xE9);
    std::memset(fields.second, 'B', sizeof fields.second);
    StatusLine line;
    std::memset(line, 0x55, sizeof line);
    WidenSharedText(fields.first, line);
    EXPECT_EQ(line[64], 0);
    EXPECT_EQ(line[63], u'A');
    EXPECT_EQ(line[10], u'\u00E9');

    std::strcpy(fields.second, "short");
    WidenSharedText(fields.second, line);
    EXPECT_EQ(sim::Narrow(line), "short");
}

}  // namespace
