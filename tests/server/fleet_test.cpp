// What a fleet of servers relies on without a database: the PROXY header one server
// writes when it hands a player over, as the other reads it, and the spool that keeps
// finished games while the shared database is away.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <unistd.h>

#include "net/proxy.h"
#include "store/records.h"
#include "store/spool.h"

namespace {

sockaddr_storage address(const char *text, uint16_t port)
{
    sockaddr_storage sa{};
    auto &v4 = reinterpret_cast<sockaddr_in &>(sa);
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(sa);
    if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
    } else if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
    }
    return sa;
}

TEST(ProxyHandOver, AWrittenHeaderReadsBackWithTheAddressAndTheTypedName)
{
    unsigned char buf[PROXY_HEADER_MAX + 1];
    const char *sources[] = {"203.0.113.7", "2001:db8::9"};
    for (const char *src : sources) {
        sockaddr_storage from = address(src, 40000), to = address("10.0.0.1", 5555);
        size_t n = write_proxy_v2(from, to, "ann@club7", buf, sizeof buf);
        ASSERT_GT(n, 0u) << src;
        buf[n] = 0x42;  // the player's next byte stays in the stream
        proxy_header h;
        ASSERT_EQ(parse_proxy_header(buf, n + 1, &h), PROXY_DONE) << src;
        EXPECT_EQ(h.length, n);
        EXPECT_EQ(h.name, "ann@club7");
        EXPECT_EQ(memcmp(&h.source, &from, sizeof from), 0) << src;
    }
    sockaddr_storage v4 = address("203.0.113.7", 1);
    EXPECT_EQ(write_proxy_v2(v4, v4, std::string("a\0b", 3), buf, sizeof buf), 0u);
    EXPECT_EQ(write_proxy_v2(v4, v4, std::string(PROXY_NAME_MAX + 1, 'a'), buf, sizeof buf), 0u);
    EXPECT_EQ(write_proxy_v2(v4, v4, "ann", buf, 30), 0u);  // does not fit
}

TEST(ProxyHandOver, ABadNameExtensionMakesTheHeaderInvalid)
{
    unsigned char buf[PROXY_HEADER_MAX];
    sockaddr_storage v4 = address("203.0.113.7", 1);
    size_t n = write_proxy_v2(v4, v4, "ann", buf, sizeof buf);
    proxy_header h;
    buf[n - 2] = 0;  // a NUL inside the name
    EXPECT_EQ(parse_proxy_header(buf, n, &h), PROXY_INVALID);
    buf[n - 2] = 'n';
    buf[n - 4] = 4;  // the name claims one byte more than the header holds
    EXPECT_EQ(parse_proxy_header(buf, n, &h), PROXY_INVALID);
    buf[n - 4] = 0;  // an empty name
    buf[15] = static_cast<unsigned char>(buf[15] - 3);
    EXPECT_EQ(parse_proxy_header(buf, n - 3, &h), PROXY_INVALID);
}

TEST(Spool, AGameComesBackWholeUntilItIsForgottenAndNeedsItsFleetId)
{
    char templ[] = "/tmp/fleet_test.XXXXXX";
    std::string dir = mkdtemp(templ), path = dir + "/spool.db", error;
    game_record g{1000, 301000, 4000000000u, 2, 4, 3, "club7", true, {}, {}, "f00d0001"};
    g.players = {{"ann", 0, 1200, 10, 1, true}, {std::string("b\0b", 3), 2, 30, 3, 0, false}};
    g.rounds = {{1, 2, std::string("b\0b", 3), 10}, {2, -1, "", 4}};
    {
        auto spool = record_store::open_spool(path, error);
        ASSERT_TRUE(spool) << error;
        auto reader = spool_reader::open(path, error);
        ASSERT_TRUE(reader) << error;
        ASSERT_TRUE(spool->write_now(g, error)) << error;
        game_record no_id = g;
        no_id.uid.clear();
        EXPECT_FALSE(spool->write_now(no_id, error));  // could never move exactly once
        EXPECT_EQ(reader->count(), 1);

        game_record back;
        int64_t id = 0;
        ASSERT_TRUE(reader->oldest(back, id)) << reader->error();
        EXPECT_EQ(back.uid, g.uid);
        EXPECT_EQ(back.room, g.room);
        EXPECT_EQ(back.seed, g.seed);
        EXPECT_TRUE(back.abandoned);
        ASSERT_EQ(back.players.size(), 2u);
        EXPECT_EQ(back.players[1].name, g.players[1].name);
        EXPECT_EQ(back.players[1].place, 2);
        EXPECT_FALSE(back.players[1].finished);
        ASSERT_EQ(back.rounds.size(), 2u);
        EXPECT_EQ(back.rounds[0].winner_name, g.rounds[0].winner_name);
        EXPECT_EQ(back.rounds[1].winner_place, -1);

        ASSERT_TRUE(reader->forget(id));
        EXPECT_EQ(reader->count(), 0);
        EXPECT_FALSE(reader->oldest(back, id));
        EXPECT_TRUE(reader->error().empty());
        EXPECT_TRUE(spool->last_games(5).empty());  // its players and rounds went too
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
