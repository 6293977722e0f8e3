// The tick and the status handlers: screens selected, counts kept, smoke faded.
#include <gtest/gtest.h>

#include "game/model.h"
#include "game/status.h"
#include "net/framing.h"
#include "peer.h"
#include "render/window.h"

using Tick = ClientTest;

TEST_F(Tick, RightAfterStartTheLobbyHandlerDoesNothing)
{
    current_screen = display_lobby;
    tick(0);
    EXPECT_EQ(current_screen, display_lobby);
    EXPECT_EQ(status_count, 0);
}

TEST_F(Tick, LobbyCommandsSelectTheScreenInTheSameTick)
{
    flags_total = 9;
    send_frame(TAG_LOBBY, words({-3}));
    tick(0);
    EXPECT_EQ(current_screen, display_play);
    EXPECT_EQ(flags_total, 0);
    EXPECT_EQ(status_count, -3);

    send_frame(TAG_LOBBY, words({-1}));
    tick(0);
    EXPECT_EQ(current_screen, display_lobby);

    for (int32_t other : {0, -2, 15}) {
        current_screen = nullptr;
        flags_total = 4;
        send_frame(TAG_LOBBY, words({other}));
        tick(0);
        EXPECT_EQ(current_screen, nullptr) << other;
        EXPECT_EQ(flags_total, 4) << other;
        EXPECT_EQ(status_count, other);
    }
}

TEST_F(Tick, ReadyAtZeroSelectsPlayOnceAndSetsTheCountToThree)
{
    me->status = PS_DRIVE;
    flags_total = 5;
    send_frame(TAG_READY, words({0}));
    tick(0);
    EXPECT_EQ(game_status, GS_READY);
    EXPECT_EQ(current_screen, display_play);
    EXPECT_EQ(status_count, 3);
    EXPECT_EQ(flags_total, 0);
    current_screen = nullptr;
    flags_total = 5;
    tick(0);
    tick(0);
    EXPECT_EQ(current_screen, nullptr);
    EXPECT_EQ(status_count, 3);
    EXPECT_EQ(flags_total, 5);
}

TEST_F(Tick, PlayCountsTicksFromStartAndPauseFreezesTheCount)
{
    me->status = PS_DRIVE;
    send_frame(TAG_START, words({1}));
    tick(0);
    EXPECT_EQ(status_count, 1);
    for (int i = 0; i < 9; i++)
        tick(0);
    EXPECT_EQ(status_count, 10);
    send_frame(TAG_PAUSE, {});
    tick(0);
    tick(0);
    EXPECT_EQ(game_status, GS_PAUSE);
    EXPECT_EQ(status_count, 10);
    send_frame(TAG_PAUSE, {});
    tick(0);
    EXPECT_EQ(game_status, GS_PLAY);
    EXPECT_EQ(status_count, 11);
}

TEST_F(Tick, SmokeFadesToTenOnlyDuringPlay)
{
    smoke[0].size = 11;
    smoke[1].size = 10;
    smoke[2].size = 0;
    smoke[3].size = 500;
    smoke[4].size = 5;
    game_status = GS_STAGE_CLEARED;
    tick(0);
    EXPECT_EQ(smoke[0].size, 11);
    EXPECT_EQ(smoke[3].size, 500);
    game_status = GS_PLAY;
    tick(0);
    EXPECT_EQ(smoke[0].size, 10);
    EXPECT_EQ(smoke[1].size, 10);
    EXPECT_EQ(smoke[2].size, 0);
    EXPECT_EQ(smoke[3].size, 499);
    EXPECT_EQ(smoke[4].size, 5);
    tick(0);
    EXPECT_EQ(smoke[0].size, 10);
}

TEST_F(Tick, ResultStatusesSelectTheirScreenAtOnce)
{
    send_frame(TAG_ROUND_RESULT, words({0}));
    tick(0);
    EXPECT_EQ(current_screen, display_round_result);
    EXPECT_EQ(status_count, 0);
    send_frame(TAG_FINAL_RESULT, {});
    tick(0);
    EXPECT_EQ(current_screen, display_final_result);
    tick(0);
    EXPECT_EQ(status_count, 0);
}

TEST_F(Tick, LiveSelectsTheWatchScreenOnEntryThenOnlyCounts)
{
    send_frame(TAG_LIVE, {});
    tick(0);
    EXPECT_EQ(current_screen, display_live);
    EXPECT_EQ(status_count, 1);
    current_screen = nullptr;
    tick(0);
    EXPECT_EQ(current_screen, nullptr);
    EXPECT_EQ(status_count, 2);
}

TEST_F(Tick, AWatcherReadyWithACountdownReachesTheWatchScreenOnlyAtZero)
{
    send_frame(TAG_READY, words({2}));  // own car PS_NONE: watching
    tick(0);
    EXPECT_EQ(game_status, GS_LIVE);
    EXPECT_EQ(current_screen, nullptr);
    EXPECT_EQ(status_count, 3);

    send_frame(TAG_READY, words({-2}));
    tick(0);  // -2 becomes -1
    tick(0);  // -1 becomes 0
    EXPECT_EQ(current_screen, nullptr);
    tick(0);
    EXPECT_EQ(current_screen, display_live);

    current_screen = nullptr;
    send_frame(TAG_STAGE_CLEAR, {});
    tick(0);
    EXPECT_EQ(game_status, GS_LIVE);
    EXPECT_EQ(current_screen, display_live);
}

TEST_F(Tick, StageClearedAndGameOverCountTicks)
{
    me->status = PS_DRIVE;
    send_frame(TAG_STAGE_CLEAR, {});
    tick(0);
    tick(0);
    EXPECT_EQ(status_count, 2);
    send_frame(TAG_GAME_OVER, {});
    tick(0);
    EXPECT_EQ(game_status, GS_GAME_OVER);
    EXPECT_EQ(status_count, 1);
}

TEST_F(Tick, ACountNearTheTopOfTheRangeWrapsInsteadOfOverflowing)
{
    send_frame(TAG_READY, words({0x7fffffff}));  // watcher: GS_LIVE counts up from it
    tick(0);
    EXPECT_EQ(status_count, INT32_MIN);
}

TEST_F(Tick, AnUnknownGameStatusIsReportedEveryTickAndRunsNothing)
{
    game_status = 12;
    testing::internal::CaptureStderr();
    tick(0);
    tick(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "unknown game status: 12\nunknown game status: 12\n");
    game_status = 8;
    testing::internal::CaptureStderr();
    tick(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(status_count, 0);
}
