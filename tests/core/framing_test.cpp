// Framing and dispatch: one message per tick, whole messages only, untrusted sizes.
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include <algorithm>

#include "game/model.h"
#include "net/framing.h"
#include "peer.h"

using Framing = ClientTest;
using FramingDeath = ClientTest;

TEST_F(Framing, SevenBytesWaitingReadNothingUntilTheEighthArrives)
{
    bytes msg = frame(TAG_HISCORE, words({4321}));
    send_raw(bytes(msg.begin(), msg.begin() + 7));
    poll_server();
    EXPECT_EQ(hiscore, 0);
    send_raw(bytes(msg.begin() + 7, msg.end()));
    poll_server();
    EXPECT_EQ(hiscore, 4321);
}

TEST_F(Framing, ThreeWaitingMessagesAreHandledOnePerPoll)
{
    send_frame(TAG_HISCORE, words({1}));
    send_frame(TAG_HISCORE, words({2}));
    send_frame(TAG_HISCORE, words({3}));
    poll_server();
    EXPECT_EQ(hiscore, 1);
    poll_server();
    EXPECT_EQ(hiscore, 2);
    poll_server();
    EXPECT_EQ(hiscore, 3);
    poll_server();
    EXPECT_EQ(hiscore, 3);
}

TEST_F(Framing, AMessageIsTakenWholeAtTheFirstPollAfterItsLastByteArrives)
{
    bytes msg = frame(TAG_ROUNDINFO, words({5, 10, 7, 2}));
    // A server that stalls after the header and part of the payload: each poll must
    // return at once (a blocking read would hang here until the alarm ends the test)
    // and leave the model untouched.
    alarm(10);
    send_raw(bytes(msg.begin(), msg.begin() + 8));
    poll_server();
    send_raw(bytes(msg.begin() + 8, msg.end() - 1));
    poll_server();
    alarm(0);
    EXPECT_EQ(round_no, 0);
    EXPECT_EQ(recv_len, 0) << "nothing was taken from the socket";
    send_raw(bytes(msg.end() - 1, msg.end()) + frame(TAG_HISCORE, words({6})));
    poll_server();
    EXPECT_EQ(round_no, 5);
    EXPECT_EQ(flags_total, 10);
    EXPECT_EQ(flags_left, 7);
    EXPECT_EQ(Nenemy, 2);
    EXPECT_EQ(hiscore, 0) << "one message per poll";
    poll_server();
    EXPECT_EQ(hiscore, 6);
}

TEST_F(Framing, AnOversizedFrameArrivingInPiecesIsReadAwayAsItComesAndTheNextHandled)
{
    // The payload is made of frames a misreading client would act on.
    bytes big = frame(TAG_MAP, bytes(4992, 0), 5000);
    for (size_t at = TAG_SIZE; at + 12 <= big.size(); at += 12) {
        bytes hiscore_frame = frame(TAG_HISCORE, words({666}));
        std::copy(hiscore_frame.begin(), hiscore_frame.end(), big.begin() + static_cast<long>(at));
    }
    testing::internal::CaptureStderr();
    alarm(10);
    for (size_t at = 0; at < big.size(); at += 700) {
        send_raw(bytes(big.begin() + static_cast<long>(at),
                       big.begin() + static_cast<long>(std::min(at + 700, big.size()))));
        poll_server();
    }
    alarm(0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("TAG_MAP (4) of size 5000"), std::string::npos) << err;
    EXPECT_EQ(hiscore, 0);
    send_frame(TAG_HISCORE, words({55}));
    poll_server();
    EXPECT_EQ(hiscore, 55) << "nothing of the skipped frame reached the model";
}

TEST_F(Framing, TagsOutsideTheTableAreReportedAndDroppedAndTagZeroSilently)
{
    for (int32_t tag : {17, -1}) {
        send_frame(tag, words({99}));
        testing::internal::CaptureStderr();
        poll_server();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "unknown tag: " + std::to_string(tag) + "\n");
    }
    send_frame(TAG_KEYS, words({0x7f}));
    testing::internal::CaptureStderr();
    poll_server();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(me->keys, 0);
    // Each was consumed whole: the next message is handled normally.
    send_frame(TAG_HISCORE, words({77}));
    poll_server();
    EXPECT_EQ(hiscore, 77);
}

TEST_F(Framing, AFrameLargerThanTheBufferIsSkippedAndTheNextOneHandled)
{
    bytes big(5000 - TAG_SIZE, 0xAB);
    send_raw(frame(TAG_MAP, big));
    send_frame(TAG_HISCORE, words({55}));
    testing::internal::CaptureStderr();
    poll_server();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("TAG_MAP"), std::string::npos) << err;
    EXPECT_NE(err.find("5000"), std::string::npos) << err;
    EXPECT_EQ(fieldmap[0][0], 0) << "nothing of the skipped frame reached the model";
    poll_server();
    EXPECT_EQ(hiscore, 55);
}

TEST_F(Framing, AMessageShorterThanItsLayoutIsDroppedWhole)
{
    Nenemy = 1;  // two cars: the position message needs 40 bytes of payload
    send_frame(TAG_PLAYERINFO, words({1, 2, 3, 1, 500}));
    testing::internal::CaptureStderr();
    poll_server();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("TAG_PLAYERINFO (1) of size 28"), std::string::npos) << err;
    EXPECT_NE(err.find("48"), std::string::npos) << err;
    EXPECT_EQ(players[0].x, 0);
    EXPECT_EQ(players[0].fuel, 0);
}

TEST_F(Framing, AShortMessageNeverReadsBytesLeftOverFromAnEarlierOne)
{
    send_frame(TAG_ROUNDINFO, words({9, 9, 9, 9}));
    poll_server();
    // A hiscore message without its word: the old round figures must not be read as one.
    send_raw(frame(TAG_HISCORE, {}));
    testing::internal::CaptureStderr();
    poll_server();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(hiscore, 0);
    // Past the message's end a handler finds zeros, not the earlier round figures.
    EXPECT_EQ(recv_len, TAG_SIZE);
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(payload_word(k), 0) << "word " << k << " past the end";
}

TEST_F(Framing, KeyStateMessageIsTwelveBytesInNetworkOrder)
{
    send_keys(KEY_UP);
    EXPECT_EQ(read_sent(12), (bytes{0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 1}));
    send_keys(KEY_UP | KEY_SPACE);
    EXPECT_EQ(read_sent(12), (bytes{0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0x11}));
}

TEST_F(Framing, ASendToAClosedServerDoesNotKillTheProcess)
{
    close_peer();
    // SIGPIPE would end the test program here; the lost connection is reported by
    // the next poll instead.
    send_keys(KEY_LEFT);
    EXPECT_EXIT(poll_server(), testing::ExitedWithCode(1), "lost server connection");
}

TEST_F(FramingDeath, AFrameSizeBelowTheHeaderEndsTheClient)
{
    send_raw(words({TAG_HISCORE, 4}));
    EXPECT_EXIT(poll_server(), testing::ExitedWithCode(1), "size 4, below the 8-byte header");
}

TEST_F(FramingDeath, AConnectionClosedBetweenMessagesEndsTheClient)
{
    close_peer();
    EXPECT_EXIT(poll_server(), testing::ExitedWithCode(1), "lost server connection");
}

TEST_F(FramingDeath, AConnectionClosedInsideAHeaderEndsTheClient)
{
    send_raw(bytes{0, 0, 0, 6, 0});
    close_peer();
    EXPECT_EXIT(poll_server(), testing::ExitedWithCode(1),
                "lost server connection: closed after 5 bytes of a frame header");
}

TEST_F(FramingDeath, AConnectionClosedInsideAMessageEndsTheClient)
{
    bytes msg = frame(TAG_MAP, bytes(MAP_BYTES, 1));
    send_raw(bytes(msg.begin(), msg.begin() + 100));
    close_peer();
    EXPECT_EXIT(poll_server(), testing::ExitedWithCode(1),
                "lost server connection: closed after 100 of the 1800 bytes of a message");
}

TEST_F(Framing, AQuietLiveConnectionIsNotMistakenForALostOne)
{
    poll_server();  // nothing waiting at all
    bytes msg = frame(TAG_HISCORE, words({8}));
    send_raw(bytes(msg.begin(), msg.begin() + 2));
    poll_server();  // part of a header waiting
    send_raw(bytes(msg.begin() + 2, msg.end()));
    poll_server();
    EXPECT_EQ(hiscore, 8);
}
