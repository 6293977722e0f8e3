// The blink rule and the bounded table helpers, as plain logic.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "game/model.h"
#include "screens/blink.h"
#include "screens/rows.h"

// Lit pattern of the first `frames` due frames from a counter of 0.
static std::string blink_pattern(int divisor, int frames)
{
    int32_t counter = 0;
    std::string seen;
    for (int i = 0; i < frames; i++)
        seen += blink_lit(counter, divisor) ? '#' : '.';
    return seen;
}

TEST(BlinkRule, DarkForDivisorMinusOneThenLitTwiceDivisorThenDarkDivisor)
{
    for (int d : {10, 20}) {
        std::string expected = std::string(d - 1, '.') + std::string(2 * d, '#') +
                               std::string(d, '.') + std::string(2 * d, '#') + ".";
        EXPECT_EQ(blink_pattern(d, 6 * d), expected) << "divisor " << d;
    }
}

TEST(BlinkRule, CounterAdvancesByOneOnEveryCallAndWrapsAtTheTop)
{
    int32_t counter = 41;
    blink_lit(counter, 10);
    EXPECT_EQ(counter, 42);

    // Near the top the phase is still (counter / D) mod 3; the step past INT32_MAX
    // wraps to INT32_MIN instead of overflowing.
    counter = INT32_MAX - 1;
    EXPECT_EQ(blink_lit(counter, 20), (INT32_MAX / 20) % 3 != 0);
    EXPECT_EQ(counter, INT32_MAX);
    blink_lit(counter, 20);
    EXPECT_EQ(counter, INT32_MIN);
    EXPECT_EQ(blink_lit(counter, 20), ((INT32_MIN + 1) / 20) % 3 != 0);
}

TEST(TableRows, NameIsCutAtItsNulOrAtSixteenBytes)
{
    char out[NAME_TEXT];
    memset(out, 'x', sizeof out);
    const char short_name[NAME_BYTES] = {'a', 'b', '\0', 'z', 'z'};
    copy_name(out, short_name);
    EXPECT_STREQ(out, "ab");

    // A server that sends no NUL: sixteen characters and never the byte after them.
    struct {
        char name[NAME_BYTES];
        char after[4];
    } unterminated;
    memset(unterminated.name, 'N', NAME_BYTES);
    memcpy(unterminated.after, "XYZ", 4);
    copy_name(out, unterminated.name);
    EXPECT_EQ(std::string(out), std::string(NAME_BYTES, 'N'));
}

TEST(TableRows, RowCountIsHeldToTheTable)
{
    int saved = Nclient;
    Nclient = -3;
    EXPECT_EQ(client_rows(), 0);
    Nclient = 5;
    EXPECT_EQ(client_rows(), 5);
    Nclient = 1000;
    EXPECT_EQ(client_rows(), MAXPLAYER);
    Nclient = INT_MIN;
    EXPECT_EQ(client_rows(), 0);
    Nclient = saved;
}
