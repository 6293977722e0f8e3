// The load tool's reader of the server's stream, fed one byte at a time as a slow
// socket would: check-in, frames checked against their layouts, bad frames skipped
// whole, a broken stream given up. And its refusal of addresses beyond loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bots_options.h"
#include "bots_stream.h"
#include "wire.h"

namespace {

using bytes = std::vector<unsigned char>;

void word(bytes &b, int32_t v)
{
    unsigned char w[4];
    put_be32(w, v);
    b.insert(b.end(), w, w + 4);
}

void text(bytes &b, const char *t)
{
    int len = static_cast<int>(strlen(t)) + 1;
    word(b, len);
    b.insert(b.end(), t, t + len);
}

void frame(bytes &b, int tag, int payload_bytes, const std::vector<int32_t> &words = {})
{
    word(b, tag);
    word(b, TAG_SIZE + payload_bytes);
    size_t start = b.size();
    b.resize(start + static_cast<size_t>(payload_bytes), 0);
    for (size_t k = 0; k < words.size(); k++)
        put_be32(b.data() + start + 4 * k, words[k]);
}

bytes checkin(int entry, int players)
{
    bytes b;
    text(b, "Welcome! Your name: ");
    word(b, entry);
    word(b, players);
    text(b, "You are in.\n");
    return b;
}

struct seen {
    int kind;
    int tag;
};

// Feeds the bytes one at a time through a buffer, as the tool's loop does, and lists
// every event but the silent ones.
std::vector<seen> feed(stream_reader &r, const bytes &in)
{
    std::vector<seen> out;
    bytes buf;
    for (unsigned char byte : in) {
        buf.push_back(byte);
        int used = 0;
        for (;;) {
            stream_event ev;
            used += stream_next(r, buf.data() + used, static_cast<int>(buf.size()) - used, ev);
            if (ev.kind == EV_NEED_MORE)
                break;
            if (ev.kind != EV_NONE)
                out.push_back({ev.kind, ev.tag});
        }
        buf.erase(buf.begin(), buf.begin() + used);
    }
    return out;
}

TEST(BotsStream, CheckInThenCarMessagesSizedByTheLatestRoundInformation)
{
    stream_reader r;
    bytes in = checkin(1, 4);
    frame(in, TAG_ROUNDINFO, ROUNDINFO_PAYLOAD, {1, 10, 10, 3});
    frame(in, TAG_PLAYERINFO, POFF * 7);
    frame(in, TAG_PLAYERINFO2, POFF2 * 7);
    frame(in, TAG_MAP, MAP_PAYLOAD);
    frame(in, TAG_PAUSE, 0);
    std::vector<seen> ev = feed(r, in);
    ASSERT_EQ(ev.size(), 7u);
    EXPECT_EQ(ev[0].kind, EV_GREETING);
    EXPECT_EQ(ev[1].kind, EV_CHECKED_IN);
    const int tags[] = {TAG_ROUNDINFO, TAG_PLAYERINFO, TAG_PLAYERINFO2, TAG_MAP, TAG_PAUSE};
    for (int k = 0; k < 5; k++) {
        EXPECT_EQ(ev[static_cast<size_t>(k) + 2].kind, EV_FRAME) << k;
        EXPECT_EQ(ev[static_cast<size_t>(k) + 2].tag, tags[k]) << k;
    }
    EXPECT_EQ(r.entry, 1);
    EXPECT_EQ(stream_cars(r), 7);
    EXPECT_STREQ(r.greeting, "Welcome! Your name: ");
}

TEST(BotsStream, AFrameOffItsLayoutIsReportedAndSkippedWholeAndTheNextOneRead)
{
    stream_reader r;
    bytes in = checkin(0, 4);
    frame(in, TAG_ROUNDINFO, ROUNDINFO_PAYLOAD, {1, 10, 10, 3});
    frame(in, TAG_PLAYERINFO, POFF * 4);                          // sized for the players alone
    frame(in, TAG_LOBBY, 0);                                      // a word short
    frame(in, 99, 12);                                            // a tag the server never sends
    frame(in, TAG_ROUNDINFO, ROUNDINFO_PAYLOAD, {1, 10, 10, 5});  // 9 cars: too many
    frame(in, TAG_PLAYERINFO, POFF * 7);                          // still 3 enemies
    std::vector<seen> ev = feed(r, in);
    ASSERT_EQ(ev.size(), 8u);
    for (size_t k = 3; k < 7; k++)
        EXPECT_EQ(ev[k].kind, EV_BAD_FRAME) << k;
    EXPECT_EQ(ev[7].kind, EV_FRAME);
    EXPECT_EQ(ev[7].tag, TAG_PLAYERINFO);
}

TEST(BotsStream, ASizeBelowTheHeaderOrABadCheckInBreaksTheStream)
{
    stream_reader r;
    bytes in = checkin(0, 2);
    word(in, TAG_START);
    word(in, 4);
    frame(in, TAG_PAUSE, 0);
    std::vector<seen> ev = feed(r, in);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[2].kind, EV_BROKEN);

    stream_reader entry_too_big;
    ev = feed(entry_too_big, checkin(4, 4));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].kind, EV_BROKEN);

    stream_reader negative_text;
    bytes neg;
    word(neg, -1);
    ev = feed(negative_text, neg);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, EV_BROKEN);
}

TEST(BotsOptions, OnlyLoopbackAddressesAreAccepted)
{
    auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), "mazecar-bots");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        bots_options opts;
        return parse_bots_options(static_cast<int>(argv.size()), argv.data(), opts);
    };
    EXPECT_EQ(parse({"--clients", "1", "--server", "127.9.8.7"}), BOTS_RUN);
    EXPECT_EQ(parse({"--clients", "1", "--server", "::1"}), BOTS_RUN);
    EXPECT_EQ(parse({"--clients", "1", "--server", "10.0.0.1"}), BOTS_BAD);
    EXPECT_EQ(parse({"--clients", "1", "--server", "128.0.0.1"}), BOTS_BAD);
    EXPECT_EQ(parse({"--clients", "1", "--server", "localhost"}), BOTS_BAD);
    EXPECT_EQ(parse({"--clients", "1", "--server", "::ffff:10.0.0.1"}), BOTS_BAD);
    EXPECT_EQ(parse({"--clients", "1", "--source-base", "192.168.1.1"}), BOTS_BAD);
    EXPECT_EQ(parse({"--clients", "1", "--flood-address", "0.0.0.0"}), BOTS_BAD);
    EXPECT_EQ(parse({"--clients", "4", "--source-base", "127.255.255.253", "--sources", "4"}),
              BOTS_BAD);
}

}  // namespace
