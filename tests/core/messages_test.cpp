// The server messages: what each writes into the model, and the transitions.
#include <gtest/gtest.h>

#include <cstring>

#include "game/model.h"
#include "net/framing.h"
#include "peer.h"

using Messages = ClientTest;

static bytes car_positions(int cars, int base)
{
    bytes out;
    for (int i = 0; i < cars; i++)
        out = out + words({base + i, base + 100 + i, 90, PS_DRIVE, 2000 + i});
    return out;
}

static bytes full_car(int i, const char (&name)[NAME_BYTES])
{
    bytes out = words({10 + i, 20 + i, 30, PS_BURST, 1500, 3, 2, 1, 1234, 9, CONTROL_CLASSIC});
    out.insert(out.end(), name, name + NAME_BYTES);
    return out;
}

TEST_F(Messages, CarPositionsWriteTheAnnouncedCarsAndLeaveTheRestAlone)
{
    Nclient = 3;
    Nenemy = 2;
    players[5].x = -7;
    players[0].keys = KEY_SPACE;
    send_frame(TAG_PLAYERINFO, car_positions(5, 1000));
    poll_server();
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(players[i].x, 1000 + i);
        EXPECT_EQ(players[i].y, 1100 + i);
        EXPECT_EQ(players[i].angle, 90);
        EXPECT_EQ(players[i].status, PS_DRIVE);
        EXPECT_EQ(players[i].fuel, 2000 + i);
    }
    EXPECT_EQ(players[5].x, -7);
    EXPECT_EQ(players[6].status, 0);
    EXPECT_EQ(players[0].keys, KEY_SPACE) << "the server never overwrites the key word";
}

TEST_F(Messages, FullCarRecordsCopyTheNameBytesAsSent)
{
    Nclient = 2;
    const char abc[NAME_BYTES] = {'a', 'b', 'c', 0, 'x', 'y', 'z', 0, 1, 2, 3, 4, 5, 6, 7, 8};
    const char pct[NAME_BYTES] = "%s%n%d";
    send_frame(TAG_PLAYERINFO2, full_car(0, abc) + full_car(1, pct));
    poll_server();
    EXPECT_EQ(memcmp(players[0].name, abc, NAME_BYTES), 0);
    EXPECT_STREQ(players[1].name, "%s%n%d");
    EXPECT_EQ(players[1].x, 11);
    EXPECT_EQ(players[1].flags, 3);
    EXPECT_EQ(players[1].lives, 2);
    EXPECT_EQ(players[1].wins, 1);
    EXPECT_EQ(players[1].score, 1234);
    EXPECT_EQ(players[1].flags_game, 9);
    EXPECT_EQ(players[1].control, CONTROL_CLASSIC);
}

TEST_F(Messages, RoundInformationChangesHowManyCarsTheNextCarMessageReads)
{
    Nenemy = 1;
    send_frame(TAG_PLAYERINFO, car_positions(2, 0));
    poll_server();
    EXPECT_EQ(players[1].x, 1);
    EXPECT_EQ(players[3].x, 0);
    send_frame(TAG_ROUNDINFO, words({2, 12, 12, 3}));
    poll_server();
    EXPECT_EQ(Nenemy, 3);
    send_frame(TAG_PLAYERINFO, car_positions(4, 50));
    poll_server();
    EXPECT_EQ(players[3].x, 53);
}

TEST_F(Messages, NoCarsMeansNothingWrittenAndNoDiagnostic)
{
    Nclient = 0;
    testing::internal::CaptureStderr();
    send_frame(TAG_PLAYERINFO, {});
    poll_server();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    Nenemy = -3;  // a negative count reads no car and reports the mismatch
    testing::internal::CaptureStderr();
    send_frame(TAG_PLAYERINFO2, {});
    poll_server();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "unpack_playerinfo2 off:8  TAG_SIZE+POFF2*(Nclient+Nenemy):-172\n"
              "something wrong. abort...\n");
}

TEST_F(Messages, MoreCarsThanTheTableHoldsAreNeverWrittenPastIt)
{
    Nclient = 4;
    Nenemy = 6;  // ten cars announced, eight records
    send_frame(TAG_PLAYERINFO, car_positions(10, 300));
    testing::internal::CaptureStderr();
    poll_server();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "unpack_playerinfo off:168  TAG_SIZE+POFF*(Nclient+Nenemy):208\n"
              "something wrong. abort...\n");
    EXPECT_EQ(players[7].x, 307);
}

TEST_F(Messages, AHugeEnemyCountNeitherOverflowsNorReadsACar)
{
    Nclient = 8;
    send_frame(TAG_ROUNDINFO, words({1, 1, 1, 0x7fffffff}));
    poll_server();
    testing::internal::CaptureStderr();
    send_frame(TAG_PLAYERINFO, car_positions(8, 1));
    poll_server();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dropped"), std::string::npos) << err;
    EXPECT_EQ(players[0].x, 0);
}

TEST_F(Messages, MapSmokeAndHiscoreReplaceWhatTheyCarry)
{
    bytes map(MAP_BYTES);
    for (int i = 0; i < MAP_BYTES; i++)
        map[i] = static_cast<unsigned char>(i % 7);
    map[MAP_BYTES - 1] = 0xC8;
    send_frame(TAG_MAP, map);
    poll_server();
    EXPECT_EQ(fieldmap[0][5], 5);
    EXPECT_EQ(fieldmap[1][0], 32 % 7);
    EXPECT_EQ(fieldmap[MAP_H - 1][MAP_W - 1], static_cast<int8_t>(0xC8));

    smoke[3].size = 50;
    bytes puffs;
    for (int j = 0; j < SMOKE_MAX; j++)
        puffs = puffs + words({j * 64, j * 32, j == 5 ? 40 : 0});
    send_frame(TAG_SMOKE, puffs);
    poll_server();
    EXPECT_EQ(smoke[3].size, 0) << "empty entries replace old puffs";
    EXPECT_EQ(smoke[5].x, 320);
    EXPECT_EQ(smoke[5].y, 160);
    EXPECT_EQ(smoke[5].size, 40);

    send_frame(TAG_HISCORE, words({-5}));
    poll_server();
    EXPECT_EQ(hiscore, -5);
}

struct Transition {
    int32_t tag;
    int32_t word;
    bool has_word;
    int from_status;
    bool taking_part;
    int expected_status;
    int expected_count;
};

// Names the case in test listings: tag, starting status, taking part or watching.
static void PrintTo(const Transition &t, std::ostream *os)
{
    *os << tag_names[t.tag] << " in status " << t.from_status
        << (t.taking_part ? " taking part" : " watching");
}

static std::string transition_name(const testing::TestParamInfo<Transition> &param)
{
    const Transition &t = param.param;
    return std::string(tag_names[t.tag]) + "_from_" + std::to_string(t.from_status) +
           (t.taking_part ? "_taking_part" : "_watching");
}

class TransitionTable : public ClientTest, public testing::WithParamInterface<Transition> {};

TEST_P(TransitionTable, MovesStatusAndCountAsTheServerSays)
{
    const Transition &t = GetParam();
    game_status = t.from_status;
    status_count = 42;
    me->status = t.taking_part ? PS_DRIVE : PS_NONE;
    send_frame(t.tag, t.has_word ? words({t.word}) : bytes{});
    poll_server();
    EXPECT_EQ(game_status, t.expected_status);
    EXPECT_EQ(status_count, t.expected_count);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TransitionTable,
    testing::Values(Transition{TAG_LOBBY, 5, true, GS_PLAY, true, GS_LOBBY, 5},
                    Transition{TAG_LOBBY, -3, true, GS_FINAL_RESULT, false, GS_LOBBY, -3},
                    Transition{TAG_READY, 3, true, GS_LOBBY, true, GS_READY, 3},
                    Transition{TAG_READY, 3, true, GS_LOBBY, false, GS_LIVE, 3},
                    Transition{TAG_START, 4, true, GS_READY, true, GS_PLAY, 0},
                    Transition{TAG_START, 4, true, GS_READY, false, GS_LIVE, 0},
                    Transition{TAG_STAGE_CLEAR, 0, false, GS_PLAY, true, GS_STAGE_CLEARED, 0},
                    Transition{TAG_STAGE_CLEAR, 0, false, GS_LIVE, false, GS_LIVE, 0},
                    Transition{TAG_ROUND_RESULT, 1, true, GS_PLAY, false, GS_ROUND_RESULT, 0},
                    Transition{TAG_FINAL_RESULT, 0, false, GS_ROUND_RESULT, true, GS_FINAL_RESULT,
                               0},
                    Transition{TAG_LIVE, 0, false, GS_LOBBY, true, GS_LIVE, 0},
                    Transition{TAG_GAME_OVER, 0, false, GS_PLAY, true, GS_GAME_OVER, 0},
                    Transition{TAG_GAME_OVER, 0, false, GS_LIVE, false, GS_LIVE, 0},
                    Transition{TAG_PAUSE, 0, false, GS_PLAY, true, GS_PAUSE, 42},
                    Transition{TAG_PAUSE, 0, false, GS_PAUSE, true, GS_PLAY, 42},
                    Transition{TAG_PAUSE, 0, false, GS_LOBBY, true, GS_LOBBY, 42},
                    Transition{TAG_PAUSE, 0, false, GS_READY, true, GS_READY, 42},
                    Transition{TAG_PAUSE, 0, false, GS_STAGE_CLEARED, true, GS_STAGE_CLEARED, 42}),
    transition_name);

TEST_F(Messages, StartAndRoundResultCarryTheirWord)
{
    me->status = PS_DRIVE;
    send_frame(TAG_START, words({6}));
    poll_server();
    EXPECT_EQ(round_no, 6);
    send_frame(TAG_ROUND_RESULT, words({2}));
    poll_server();
    EXPECT_EQ(result_highlight, 2);
}

TEST_F(Messages, QuitEndsTheClientWithCodeZero)
{
    send_frame(TAG_QUIT, {});
    EXPECT_EXIT(poll_server(), testing::ExitedWithCode(0), "");
}
