// The keyboard callbacks: the key word they keep and the messages they send.
#include <gtest/gtest.h>

#include <GL/freeglut.h>

#include "game/model.h"
#include "input/keyboard.h"
#include "peer.h"
#include "wire.h"

class Keyboard : public ClientTest {
protected:
    // The key word carried by the next 12-byte message the client sent.
    int32_t next_sent_word()
    {
        bytes msg = read_sent(12);
        if (msg.size() != 12)
            return -1;
        EXPECT_EQ(bytes(msg.begin(), msg.begin() + 8), (bytes{0, 0, 0, 0, 0, 0, 0, 12}));
        return get_be32(&msg[8]);
    }
};

TEST_F(Keyboard, ArrowsSetAndClearTheirBitsAndEveryEventSends)
{
    special_down(GLUT_KEY_UP, 0, 0);
    special_down(GLUT_KEY_LEFT, 0, 0);
    special_up(GLUT_KEY_UP, 0, 0);
    special_up(GLUT_KEY_LEFT, 0, 0);
    EXPECT_EQ(next_sent_word(), 0x01);
    EXPECT_EQ(next_sent_word(), 0x05);
    EXPECT_EQ(next_sent_word(), 0x04);
    EXPECT_EQ(next_sent_word(), 0x00);
    special_down(GLUT_KEY_RIGHT, 0, 0);
    special_down(GLUT_KEY_DOWN, 0, 0);
    EXPECT_EQ(next_sent_word(), KEY_RIGHT);
    EXPECT_EQ(next_sent_word(), KEY_RIGHT | KEY_DOWN);
}

TEST_F(Keyboard, SpaceQAndSAreIndependentBits)
{
    key_down(' ', 0, 0);
    key_down('q', 0, 0);
    key_down('s', 0, 0);
    EXPECT_EQ(me->keys, 0x70);
    key_up('q', 0, 0);
    EXPECT_EQ(me->keys, KEY_SPACE | KEY_S);
    key_up(' ', 0, 0);
    key_up('s', 0, 0);
    EXPECT_EQ(me->keys, 0);
    for (int32_t expected : {0x10, 0x30, 0x70, 0x50, 0x40, 0x00})
        EXPECT_EQ(next_sent_word(), expected);
}

TEST_F(Keyboard, OtherKeysSendTheUnchangedWord)
{
    me->keys = KEY_UP;
    for (unsigned char key : {'a', '\r', 'Q', 'S'}) {
        key_down(key, 0, 0);
        EXPECT_EQ(next_sent_word(), KEY_UP) << key;
    }
    special_down(GLUT_KEY_F1, 0, 0);
    special_up(GLUT_KEY_SHIFT_L, 0, 0);
    EXPECT_EQ(next_sent_word(), KEY_UP);
    EXPECT_EQ(next_sent_word(), KEY_UP);
    key_up('a', 0, 0);  // a release without a press
    EXPECT_EQ(next_sent_word(), KEY_UP);
}

TEST_F(Keyboard, AReleaseUnderShiftStillClearsQAndS)
{
    key_down('s', 0, 0);
    key_down('q', 0, 0);
    key_up('S', 0, 0);
    key_up('Q', 0, 0);
    EXPECT_EQ(me->keys, 0);
    for (int32_t expected : {0x40, 0x60, 0x20, 0x00})
        EXPECT_EQ(next_sent_word(), expected);
}

TEST_F(Keyboard, DuringPauseSpecialPressesAreIgnoredButReleasesAndAsciiKeysAreNot)
{
    special_down(GLUT_KEY_RIGHT, 0, 0);
    EXPECT_EQ(next_sent_word(), KEY_RIGHT);
    game_status = GS_PAUSE;
    special_down(GLUT_KEY_UP, 0, 0);
    special_down(GLUT_KEY_F1, 0, 0);
    EXPECT_EQ(me->keys, KEY_RIGHT);
    EXPECT_TRUE(nothing_sent());
    key_down(' ', 0, 0);
    EXPECT_EQ(next_sent_word(), KEY_RIGHT | KEY_SPACE);
    special_up(GLUT_KEY_RIGHT, 0, 0);
    EXPECT_EQ(next_sent_word(), KEY_SPACE);
}
