// The server's side of the protocol, checked by a test client that decodes every
// byte: the check-in, the layout of every message, hostile clients beside a
// well-behaved one, the connection limits, placement in games and rooms, and the quit
// on shutdown. The server runs in-process on an ephemeral port, so these tests never
// touch port 5555.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <functional>

#include "game/game.h"
#include "net/connections.h"
#include "store_helpers.h"

// accept4 as the server's loop calls it: failing with ENOBUFS while a test asks.
std::atomic<bool> accept_fails{false};
std::atomic<int> failed_accepts{0};

extern "C" int accept4(int fd, sockaddr *addr, socklen_t *len, int flags)
{
    using real_fn = int (*)(int, sockaddr *, socklen_t *, int);
    static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "accept4"));
    if (accept_fails) {
        failed_accepts++;
        errno = ENOBUFS;
        return -1;
    }
    return real(fd, addr, len, flags);
}

namespace {

constexpr int WAIT_MS = 10000;  // generous: conditions, not sleeps

struct frame {
    int32_t tag = -1;
    int32_t size = 0;
    std::vector<unsigned char> payload;
    int32_t word(int k) const { return get_be32(payload.data() + 4 * k); }
};

// A connection to the server from the loopback address `from` (any of 127.0.0.0/8).
int connect_port(int port, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, from, &src.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool recv_all(int fd, void *buf, int n, int timeout_ms = WAIT_MS)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int got = 0;
    while (got < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        ssize_t r = recv(fd, static_cast<char *>(buf) + got, static_cast<size_t>(n - got), 0);
        if (r <= 0)
            return false;
        got += static_cast<int>(r);
    }
    return true;
}

bool read_word(int fd, int32_t *v)
{
    unsigned char w[4];
    if (!recv_all(fd, w, 4))
        return false;
    *v = get_be32(w);
    return true;
}

// A length-prefixed check-in text, up to its NUL.
bool read_text(int fd, std::string *text)
{
    int32_t len = 0;
    if (!read_word(fd, &len) || len < 0 || len > NET_BUF_SIZE)
        return false;
    std::vector<char> buf(static_cast<size_t>(len) + 1, '\0');
    if (len > 0 && !recv_all(fd, buf.data(), len))
        return false;
    *text = buf.data();
    return true;
}

void send_bytes(int fd, const void *bytes, size_t n)
{
    ASSERT_EQ(send(fd, bytes, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
}

void send_name(int fd, const char *name)
{
    unsigned char msg[64];
    int n = static_cast<int>(strlen(name));
    put_be32(msg, n + 1);
    memcpy(msg + 4, name, static_cast<size_t>(n) + 1);
    send_bytes(fd, msg, static_cast<size_t>(n) + 5);
}

void send_frame(int fd, int32_t tag, int32_t size, int32_t word)
{
    unsigned char msg[12];
    put_be32(msg, tag);
    put_be32(msg + 4, size);
    put_be32(msg + 8, word);
    send_bytes(fd, msg, sizeof msg);
}

void send_keys(int fd, int32_t keys)
{
    send_frame(fd, TAG_KEYS, KEYS_MSG_SIZE, keys);
}

struct check_in_reply {
    std::string greeting, second;
    int32_t entry = -1, players = -1;
};

bool check_in(int fd, const char *name, check_in_reply *r)
{
    if (!read_text(fd, &r->greeting))
        return false;
    send_name(fd, name);
    return read_word(fd, &r->entry) && read_word(fd, &r->players) && read_text(fd, &r->second);
}

bool read_frame(int fd, frame *f, int timeout_ms = WAIT_MS)
{
    unsigned char head[TAG_SIZE];
    if (!recv_all(fd, head, TAG_SIZE, timeout_ms))
        return false;
    f->tag = get_be32(head);
    f->size = get_be32(head + 4);
    if (f->size < TAG_SIZE || f->size > NET_BUF_SIZE)
        return false;
    f->payload.assign(static_cast<size_t>(f->size - TAG_SIZE), 0);
    return f->payload.empty() || recv_all(fd, f->payload.data(), f->size - TAG_SIZE, timeout_ms);
}

// Reads frames, each checked against its layout, until one with the tag arrives.
bool wait_for(int fd, int tag, int cars, frame *f, std::set<int> *seen = nullptr,
              int wait_ms = WAIT_MS)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (!read_frame(fd, f, static_cast<int>(left.count()) + 1))
            return false;
        EXPECT_EQ(f->size, message_size(f->tag, cars)) << "tag " << f->tag;
        if (seen)
            seen->insert(f->tag);
        if (f->tag == tag)
            return true;
    }
    return false;
}

// True once the server has closed the connection (data before the end is skipped).
bool closed_by_server(int fd, int timeout_ms = WAIT_MS)
{
    unsigned char sink[4096];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t r = recv(fd, sink, sizeof sink, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

// The names of the human places in the car records, read until they are the
// expected ones (or the time is up: then the last ones seen).
std::vector<std::string> names_in_records(int fd, int places, int cars,
                                          const std::vector<std::string> &expected)
{
    frame f;
    std::vector<std::string> names;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (names != expected && std::chrono::steady_clock::now() < end) {
        if (!wait_for(fd, TAG_PLAYERINFO2, cars, &f))
            break;
        names.clear();
        for (int i = 0; i < places; i++)
            names.emplace_back(
                reinterpret_cast<const char *>(f.payload.data() + POFF2 * i + POFF2_NAME));
    }
    return names;
}

class ServerProtocol : public ::testing::Test {
protected:
    int port = 0;
    std::thread loop;
    std::unique_ptr<game_server> srv;
    int result = -1;

    void start(int slots, int enemies, int checkin_ms = 5000,
               const std::function<void(server_settings &)> &tune = nullptr)
    {
        game_config c{slots, enemies, 2, 1, 3, 99, 3, false};
        int fd = open_listener("127.0.0.1", 0, &port);
        ASSERT_GE(fd, 0);
        server_settings settings = default_server_settings();
        settings.checkin_ms = checkin_ms;
        settings.stats_seconds = 0;
        if (tune)
            tune(settings);
        srv = std::make_unique<game_server>(c, settings, store.get());
        loop = std::thread([this, fd] {
            result = srv->run(fd);
            close(fd);
        });
    }

    void stop()
    {
        if (srv)
            srv->request_stop();
        if (loop.joinable())
            loop.join();
    }

    void TearDown() override { stop(); }

    // A records store in a directory of its own, for the server started next.
    std::unique_ptr<temp_dir> dir;
    std::unique_ptr<record_store> store;
    void open_store()
    {
        dir = std::make_unique<temp_dir>();
        std::string error;
        store = record_store::open(dir->path + "/records.db", error);
        ASSERT_TRUE(store) << error;
    }

    // A client checked in with the space key, its car on the road: returns its socket.
    int playing_client(const char *name, int cars, std::set<int> *seen = nullptr)
    {
        int fd = connect_port(port);
        check_in_reply r;
        EXPECT_TRUE(check_in(fd, name, &r));
        send_keys(fd, KEY_SPACE);
        send_keys(fd, 0);
        frame f;
        EXPECT_TRUE(wait_for(fd, TAG_START, cars, &f, seen));
        return fd;
    }

    // Position of car 0 in the next position message, as x * 10000 + y.
    long next_position(int fd, int cars)
    {
        frame f;
        if (!wait_for(fd, TAG_PLAYERINFO, cars, &f))
            return -1;
        return f.word(0) * 10000L + f.word(1);
    }

    // Presses each arrow in turn until car 0 moves.
    bool car_moves(int fd, int cars)
    {
        long start = next_position(fd, cars);
        for (int32_t key : {KEY_LEFT, KEY_RIGHT, KEY_UP, KEY_DOWN}) {
            send_keys(fd, key);
            send_keys(fd, 0);
            for (int i = 0; i < 15; i++) {
                long now = next_position(fd, cars);
                if (now < 0)
                    return false;
                if (now != start)
                    return true;
            }
        }
        return false;
    }
};

TEST_F(ServerProtocol, CheckInBytesAndTheLayoutOfEveryMessageOfARound)
{
    start(3, 2);
    const int cars = 5;
    int fd = connect_port(port);
    ASSERT_GE(fd, 0);
    check_in_reply r;
    ASSERT_TRUE(check_in(fd, "alice", &r));
    EXPECT_NE(r.greeting.find("SPACE"), std::string::npos) << "the greeting tells the keys";
    EXPECT_EQ(r.greeting.substr(r.greeting.size() - 11), "Your name: ");
    EXPECT_EQ(r.entry, 0);
    EXPECT_EQ(r.players, 3) << "Nclient is the number of places";
    EXPECT_FALSE(r.second.empty());

    frame f;
    ASSERT_TRUE(read_frame(fd, &f));
    ASSERT_EQ(f.tag, TAG_ROUNDINFO) << "Nenemy comes before any car message";
    EXPECT_EQ(f.size, 24);
    EXPECT_EQ(f.word(3), 2);
    ASSERT_TRUE(wait_for(fd, TAG_PLAYERINFO2, cars, &f));
    EXPECT_STREQ(reinterpret_cast<const char *>(f.payload.data() + 44), "alice");
    EXPECT_EQ(f.word(3), PS_NONE);
    ASSERT_TRUE(wait_for(fd, TAG_LOBBY, cars, &f));
    EXPECT_EQ(f.word(0), -1);

    send_keys(fd, KEY_SPACE);
    send_keys(fd, 0);
    std::set<int> seen;
    ASSERT_TRUE(wait_for(fd, TAG_PLAYERINFO2, cars, &f, &seen));
    EXPECT_EQ(f.word(3), PS_DRIVE) << "checked in";
    ASSERT_TRUE(wait_for(fd, TAG_START, cars, &f, &seen));
    EXPECT_EQ(f.word(0), 1);
    for (int tag : {TAG_LOBBY, TAG_ROUNDINFO, TAG_MAP, TAG_PLAYERINFO2, TAG_SMOKE, TAG_READY})
        EXPECT_TRUE(seen.count(tag)) << "tag " << tag;

    ASSERT_TRUE(wait_for(fd, TAG_PLAYERINFO, cars, &f));
    EXPECT_EQ(f.word(3), PS_DRIVE);
    EXPECT_EQ(f.word(4), FUEL_FULL);
    EXPECT_EQ(f.word(3 * POFF / 4 + 3), PS_DRIVE) << "first enemy on the road";
    EXPECT_TRUE(car_moves(fd, cars));
    close(fd);
}

TEST_F(ServerProtocol, HostileClientsAreDroppedWhileAWellBehavedOneKeepsPlaying)
{
    start(3, 1, 500);
    const int cars = 4;
    int good = playing_client("good", cars);

    // Garbage where the name's length should be.
    int g = connect_port(port);
    std::string text;
    ASSERT_TRUE(read_text(g, &text));
    const char junk[] = "\xff\xff\xff\xf0GET / HTTP/1.0\r\n\r\n";
    send_bytes(g, junk, sizeof junk);
    EXPECT_TRUE(closed_by_server(g));
    close(g);

    // Half a check-in, then silence: the check-in times out.
    int h = connect_port(port);
    ASSERT_TRUE(read_text(h, &text));
    send_bytes(h, "\x00\x00", 2);
    EXPECT_TRUE(closed_by_server(h));
    close(h);

    // Checked in, then frames that break the framing.
    const int32_t bad[][2] = {{TAG_KEYS, 100000}, {TAG_KEYS, 4}, {TAG_PLAYERINFO, 12}, {-7, 12}};
    for (const auto &b : bad) {
        int c = connect_port(port);
        check_in_reply r;
        ASSERT_TRUE(check_in(c, "rogue", &r));
        send_frame(c, b[0], b[1], 0);
        EXPECT_TRUE(closed_by_server(c)) << "tag " << b[0] << " size " << b[1];
        close(c);
    }

    // Gone in the middle of a key message, and gone in the middle of the check-in.
    int m = connect_port(port);
    check_in_reply r;
    ASSERT_TRUE(check_in(m, "flaky", &r));
    send_bytes(m, "\x00\x00\x00\x00\x00\x00", 6);
    close(m);
    int n = connect_port(port);
    ASSERT_TRUE(read_text(n, &text));
    send_bytes(n,
               "\x00\x00\x00\x08"
               "ab",
               6);
    close(n);

    // The well-behaved client still plays: its car answers the keys.
    EXPECT_TRUE(car_moves(good, cars));

    // No hostile client left anything behind: a game under way takes no newcomer,
    // so the next player opens a fresh game and is alone in it.
    int again = connect_port(port);
    check_in_reply r2;
    ASSERT_TRUE(check_in(again, "again", &r2));
    EXPECT_EQ(r2.entry, 0);
    EXPECT_EQ(names_in_records(again, 3, 4, {"again", "", ""}),
              (std::vector<std::string>{"again", "", ""}));
    close(again);
    close(good);
}

TEST_F(ServerProtocol, WhenEveryGameIsFullANewcomerIsToldSoInThePlaceOfTheGreeting)
{
    start(1, 0, 5000, [](server_settings &s) { s.games_max = 1; });
    int a = connect_port(port);
    check_in_reply r;
    ASSERT_TRUE(check_in(a, "first", &r));
    EXPECT_EQ(r.entry, 0);
    EXPECT_EQ(r.players, 1);

    int b = connect_port(port);
    std::string greeting;
    ASSERT_TRUE(read_text(b, &greeting));
    EXPECT_NE(greeting.find("full"), std::string::npos) << greeting;
    EXPECT_TRUE(closed_by_server(b));
    close(b);

    // The first client is still served.
    frame f;
    send_keys(a, KEY_SPACE);
    EXPECT_TRUE(wait_for(a, TAG_LOBBY, 1, &f));
    close(a);
}

TEST_F(ServerProtocol, QuickPlayFillsAGameFirstAndARoomKeepsItsPlayersTogether)
{
    start(2, 0);
    check_in_reply r;
    int a = connect_port(port), b = connect_port(port), c = connect_port(port);
    ASSERT_TRUE(check_in(a, "ann", &r));
    EXPECT_EQ(r.entry, 0);
    ASSERT_TRUE(check_in(b, "ben", &r));
    EXPECT_EQ(r.entry, 1) << "the open quick-play game is filled first";
    ASSERT_TRUE(check_in(c, "cat", &r));
    EXPECT_EQ(r.entry, 0) << "a full game opens the next";
    EXPECT_EQ(r.players, 2);

    int x = connect_port(port, "127.0.0.2"), y = connect_port(port, "127.0.0.2");
    ASSERT_TRUE(check_in(x, "xia@club7", &r));
    EXPECT_EQ(r.entry, 0) << "a room gets a game of its own";
    EXPECT_NE(r.second.find("room club7"), std::string::npos) << r.second;
    ASSERT_TRUE(check_in(y, "yan@club7", &r));
    EXPECT_EQ(r.entry, 1);
    EXPECT_EQ(names_in_records(y, 2, 2, {"xia", "yan"}), (std::vector<std::string>{"xia", "yan"}))
        << "names are shown without the room";

    int z = connect_port(port, "127.0.0.2");
    ASSERT_TRUE(check_in(z, "zed@club7", &r));
    EXPECT_NE(r.second.find("full"), std::string::npos) << "a full room sends to quick play";
    EXPECT_EQ(r.entry, 1) << "beside cat, in the newest quick-play game";
    EXPECT_EQ(names_in_records(z, 2, 2, {"cat", "zed"}), (std::vector<std::string>{"cat", "zed"}))
        << "a client hears of its own game only";
    EXPECT_EQ(names_in_records(a, 2, 2, {"ann", "ben"}), (std::vector<std::string>{"ann", "ben"}));
    for (int fd : {a, b, c, x, y, z})
        close(fd);
}

TEST_F(ServerProtocol, AGameWhosePlayersAllLeftIsClosedAndItsRoomStartsAfresh)
{
    char path[] = "/tmp/mazecar-status-XXXXXX";
    int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    close(tmp);
    std::string status_path = path;
    start(2, 0, 5000, [&status_path](server_settings &s) { s.status_path = status_path.c_str(); });
    auto status = [&status_path] {
        FILE *f = fopen(status_path.c_str(), "r");
        std::string text;
        char buf[4096];
        size_t n;
        while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        if (f)
            fclose(f);
        return text;
    };
    auto wait_status = [&status](const char *what, bool present) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (std::chrono::steady_clock::now() < end) {
            if ((status().find(what) != std::string::npos) == present)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    check_in_reply r;
    int x = connect_port(port), y = connect_port(port);
    ASSERT_TRUE(check_in(x, "xia@den", &r));
    ASSERT_TRUE(check_in(y, "yan@den", &r));
    ASSERT_TRUE(wait_status("room den", true));
    close(x);
    close(y);
    EXPECT_TRUE(wait_status("room den", false)) << "the empty game is closed";
    int z = connect_port(port);
    ASSERT_TRUE(check_in(z, "zed@den", &r));
    EXPECT_EQ(r.entry, 0) << "a new game for the room";
    close(z);
    stop();
    unlink(path);
    unlink((status_path + ".tmp").c_str());
}

TEST_F(ServerProtocol, AnAddressMayHoldAndOpenOnlyItsShareOfConnections)
{
    start(4, 0, 5000, [](server_settings &s) {
        s.per_address = 2;
        s.connect_rate = 4;
    });
    std::string text;
    int a = connect_port(port, "127.0.0.5"), b = connect_port(port, "127.0.0.5");
    ASSERT_TRUE(read_text(a, &text));
    ASSERT_TRUE(read_text(b, &text));
    int c = connect_port(port, "127.0.0.5");
    EXPECT_FALSE(read_text(c, &text)) << "a third open connection is refused at once";
    close(c);
    int d = connect_port(port, "127.0.0.6");
    EXPECT_TRUE(read_text(d, &text)) << "another address is not held back";
    close(d);

    // A connection that ends frees its share; the rate counts every attempt.
    shutdown(a, SHUT_WR);
    ASSERT_TRUE(closed_by_server(a));
    int e = connect_port(port, "127.0.0.5");
    EXPECT_TRUE(read_text(e, &text)) << "a closed connection's share is free again";
    shutdown(b, SHUT_WR);
    ASSERT_TRUE(closed_by_server(b));
    int f = connect_port(port, "127.0.0.5");
    EXPECT_FALSE(read_text(f, &text)) << "the fifth attempt in ten seconds is one too many";
    for (int fd : {a, b, e, f})
        close(fd);
}

TEST_F(ServerProtocol, AFullTableDropsTheOldestUnfinishedCheckInNeverAPlayer)
{
    start(2, 0, 5000, [](server_settings &s) { s.max_connections = 3; });
    std::string text;
    int player = connect_port(port);
    check_in_reply r;
    ASSERT_TRUE(check_in(player, "pat", &r));
    int idle1 = connect_port(port, "127.0.0.8");
    ASSERT_TRUE(read_text(idle1, &text));
    int idle2 = connect_port(port, "127.0.0.9");
    ASSERT_TRUE(read_text(idle2, &text));

    int newcomer = connect_port(port, "127.0.0.10");
    EXPECT_TRUE(read_text(newcomer, &text)) << "the newcomer gets in";
    EXPECT_TRUE(closed_by_server(idle1)) << "the oldest unfinished check-in made room";
    send_name(idle2, "second");
    int32_t entry = -1;
    EXPECT_TRUE(read_word(idle2, &entry)) << "the younger one was kept";
    frame f;
    send_keys(player, KEY_SPACE);
    EXPECT_TRUE(wait_for(player, TAG_LOBBY, 2, &f)) << "the player is still served";
    for (int fd : {player, idle1, idle2, newcomer})
        close(fd);
}

TEST_F(ServerProtocol, AClientThatStopsReadingIsDroppedWhileItsGameGoesOn)
{
    start(8, 0, 5000, [](server_settings &s) {
        s.out_queue_bytes = 8192;
        s.socket_sndbuf = 4096;
    });
    const int cars = 8;
    int sleeper = socket(AF_INET, SOCK_STREAM, 0);
    int small = 2048;
    setsockopt(sleeper, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(sleeper, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    check_in_reply r;
    ASSERT_TRUE(check_in(sleeper, "sleepy", &r));  // then never reads again
    int good = playing_client("good", cars);
    // The sleeper's place empties (its name leaves the records) while play goes on.
    bool dropped = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    frame f;
    while (!dropped && std::chrono::steady_clock::now() < end) {
        send_keys(good, KEY_SPACE);  // smoke: the smoke table goes out too
        send_keys(good, 0);
        ASSERT_TRUE(wait_for(good, TAG_PLAYERINFO2, cars, &f));
        dropped = f.payload[POFF2 * r.entry + POFF2_NAME] == '\0';
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(car_moves(good, cars));
    close(sleeper);
    close(good);
}

TEST_F(ServerProtocol, ANameMessageOfTheLongestLengthIsTakenAndOneLongerRefused)
{
    start(2, 0);
    std::string text;
    for (int len : {NAME_IN_MAX, NAME_IN_MAX + 1}) {
        int fd = connect_port(port);
        ASSERT_TRUE(read_text(fd, &text));
        std::vector<unsigned char> msg(4 + static_cast<size_t>(len), 'n');
        put_be32(msg.data(), len);
        msg.back() = '\0';
        send_bytes(fd, msg.data(), msg.size());
        int32_t entry = -1;
        EXPECT_EQ(read_word(fd, &entry), len == NAME_IN_MAX) << "length " << len;
        close(fd);
    }
}

TEST_F(ServerProtocol, StoppingTheServerSendsQuitToEveryClient)
{
    start(2, 1);
    int a = connect_port(port), b = connect_port(port);
    check_in_reply r;
    ASSERT_TRUE(check_in(a, "a", &r));
    ASSERT_TRUE(check_in(b, "b", &r));
    frame f;
    ASSERT_TRUE(wait_for(a, TAG_LOBBY, 3, &f));
    ASSERT_TRUE(wait_for(b, TAG_LOBBY, 3, &f));
    stop();
    EXPECT_EQ(result, 0);
    for (int fd : {a, b}) {
        ASSERT_TRUE(wait_for(fd, TAG_QUIT, 3, &f));
        EXPECT_EQ(f.size, TAG_SIZE);
        EXPECT_TRUE(closed_by_server(fd));
        close(fd);
    }
}

TEST_F(ServerProtocol, WithTheDiskStalledTheFinalResultWaitsUntilTheGameIsStored)
{
    stalled_disk::install();
    struct release {
        ~release()
        {
            stalled_disk::hold(false);
            stalled_disk::remove();
        }
    } at_end;
    open_store();
    stalled_disk::hold(true);
    start(2, 0);
    int player = playing_client("ann@den", 2);
    int watcher = connect_port(port);
    check_in_reply r;
    ASSERT_TRUE(check_in(watcher, "wes@den", &r));  // the game is under way: wes watches
    close(player);                                  // the only player gone: game over
    frame f;
    ASSERT_TRUE(wait_for(watcher, TAG_GAME_OVER, 2, &f));
    ASSERT_TRUE(stalled_disk::writer_held(std::chrono::milliseconds(WAIT_MS)));
    EXPECT_FALSE(wait_for(watcher, TAG_FINAL_RESULT, 2, &f, nullptr, 1000))
        << "the final result went out before the game was stored";
    stalled_disk::hold(false);
    EXPECT_TRUE(wait_for(watcher, TAG_FINAL_RESULT, 2, &f));
    close(watcher);
}

TEST_F(ServerProtocol, TwoPlayersWhoLeaveMidRoundLeaveOneAbandonedGameWithBothNames)
{
    open_store();
    start(2, 0);
    int a = connect_port(port), b = connect_port(port);
    check_in_reply r;
    ASSERT_TRUE(check_in(a, "ann", &r));
    ASSERT_TRUE(check_in(b, "bob", &r));
    for (int fd : {a, b})
        send_keys(fd, KEY_SPACE);
    frame f;
    ASSERT_TRUE(wait_for(a, TAG_START, 2, &f));
    close(a);
    close(b);
    for (int i = 0; i < WAIT_MS / 20 && store->written() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop();
    std::vector<game_row> games = store->last_games(10);
    ASSERT_EQ(games.size(), 1u);
    EXPECT_TRUE(games[0].abandoned);
    std::set<std::string> names;
    for (const auto &p : games[0].players)
        names.insert(p.first);
    EXPECT_EQ(names, (std::set<std::string>{"ann", "bob"}));
}

TEST_F(ServerProtocol, ASilentPlayerInALobbyIsDroppedOneWhoPressesKeysOrWatchesAGameStays)
{
    start(2, 0, 5000, [](server_settings &s) { s.idle_ms = 1000; });
    int ann = playing_client("ann@play", 2);
    check_in_reply r;
    int watcher = connect_port(port);  // joins the game under way and watches it, silent
    ASSERT_TRUE(check_in(watcher, "wat@play", &r));
    int quiet = connect_port(port), busy = connect_port(port);
    ASSERT_TRUE(check_in(quiet, "quiet@wait", &r));
    ASSERT_TRUE(check_in(busy, "busy@wait", &r));
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (!closed_by_server(quiet, 100) && std::chrono::steady_clock::now() < end) {
        send_keys(busy, KEY_S);
        send_keys(busy, 0);
    }
    // Both would have gone in the same look as the quiet one (the watcher is the older).
    EXPECT_FALSE(closed_by_server(busy, 100)) << "pressing keys keeps a player";
    EXPECT_FALSE(closed_by_server(watcher, 100)) << "watching a game under way is not idle";
    stop();
    EXPECT_EQ(srv->stats.reasons[DROPPED_IDLE], 1u);
    for (int fd : {ann, watcher, quiet, busy})
        close(fd);
}

TEST_F(ServerProtocol, AFailingAcceptRestsTheListenerInsteadOfSpinning)
{
    start(2, 0);
    failed_accepts = 0;
    accept_fails = true;
    int fd = connect_port(port);  // the kernel takes it; the server's accept fails
    auto t0 = std::chrono::steady_clock::now();
    while (failed_accepts < 3 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto spent = std::chrono::steady_clock::now() - t0;
    accept_fails = false;
    EXPECT_GE(spent, std::chrono::milliseconds(3 * ACCEPT_PAUSE_MS / 2)) << "three tries";
    std::string text;
    EXPECT_TRUE(read_text(fd, &text)) << "the listener comes back";
    close(fd);
    stop();
    EXPECT_GE(srv->stats.accept_pauses, 2u);
}

// Reads the pipe only if the test still runs after 5 s, so that a log line that waits
// for its reader fails the test instead of hanging it.
struct late_reader {
    int fd;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t{[this] {
        std::unique_lock<std::mutex> lock(m);
        if (cv.wait_for(lock, std::chrono::seconds(5), [this] { return done; }))
            return;
        char sink[4096];
        while (!done && read(fd, sink, sizeof sink) > 0) {
        }
    }};
    explicit late_reader(int read_end) : fd(read_end) {}
    void finish(int write_end)
    {
        {
            std::lock_guard<std::mutex> lock(m);
            done = true;
        }
        cv.notify_all();
        close(write_end);  // ends a read in progress
        t.join();
    }
};

TEST(ServerLog, AReaderThatNeverReadsHoldsUpNeitherTheCallerNorTheSteps)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    late_reader rescue(p[0]);
    {
        server_log log(p[1]);
        log.set_rate(1000000, 1000000);
        auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < 10000; k++)
            log.event("line %d for a reader that never reads", k);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));

        int port = 0, listen_fd = open_listener("127.0.0.1", 0, &port);
        server_settings settings = default_server_settings();
        settings.stats_seconds = 0;
        game_server srv(game_config{2, 0, 2, 1, 3, 99, 3, false}, settings, nullptr, nullptr, &log);
        std::thread loop([&] { srv.run(listen_fd); });
        int fd = connect_port(port);
        check_in_reply r;
        ASSERT_TRUE(check_in(fd, "ann", &r));
        send_keys(fd, KEY_SPACE);
        frame f;
        EXPECT_TRUE(wait_for(fd, TAG_START, 2, &f)) << "the steps go on";
        srv.request_stop();
        loop.join();
        EXPECT_GT(log.take_left_out(), 5000) << "what found no room is counted";
        close(fd);
        close(listen_fd);
    }  // the log gives up on its reader within LOG_CLOSE_MS
    rescue.finish(p[1]);
    close(p[0]);
}

TEST(Listener, AnIPv6ListenerTakesAnIPv6ClientThroughTheCheckIn)
{
    int port = 0;
    int listen_fd = open_listener("::1", 0, &port);
    if (listen_fd < 0)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    game_config c{2, 0, 1, 1, 3, 5, 3, false};
    server_settings settings = default_server_settings();
    settings.stats_seconds = 0;
    game_server srv(c, settings);
    std::thread loop([&] { srv.run(listen_fd); });
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    sa.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    check_in_reply r;
    EXPECT_TRUE(check_in(fd, "six", &r));
    EXPECT_EQ(r.entry, 0);
    close(fd);
    srv.request_stop();
    loop.join();
    close(listen_fd);
}

TEST(OutputQueue, HoldsBytesInOrderAfterPartialSendsAndRefusesWhatDoesNotFit)
{
    out_queue q;
    q.limit = 16;
    const unsigned char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(q.push(bytes, 10));
    q.consume(7);  // a partial send
    ASSERT_TRUE(q.push(bytes, 10));
    ASSERT_EQ(q.pending(), 13u);
    EXPECT_EQ(q.front()[0], 8);
    EXPECT_EQ(q.front()[3], 1);
    EXPECT_EQ(q.front()[12], 10);
    EXPECT_FALSE(q.push(bytes, 4)) << "one byte too many";
    EXPECT_EQ(q.pending(), 13u) << "nothing of a refused message is queued";
    EXPECT_TRUE(q.push(bytes, 3));
    q.consume(16);
    EXPECT_EQ(q.pending(), 0u);
}

TEST(OutputQueue, ANewerPositionTakesTheUnsentLastPositionsPlaceAndNothingElseMoves)
{
    out_queue q;
    q.limit = 16;
    const unsigned char p1[4] = {1, 1, 1, 1}, p2[4] = {2, 2, 2, 2}, p3[4] = {3, 3, 3, 3},
                        other[4] = {9, 9, 9, 9};
    auto held = [&q] { return std::vector<int>(q.front(), q.front() + q.pending()); };
    size_t replaced = 99;
    ASSERT_TRUE(q.push_position(p1, 4, &replaced));
    EXPECT_EQ(replaced, 0u);
    ASSERT_TRUE(q.push_position(p2, 4, &replaced));
    EXPECT_EQ(replaced, 4u);
    EXPECT_EQ(held(), (std::vector<int>{2, 2, 2, 2}));
    // Another message after it: the next position queues behind, in order.
    ASSERT_TRUE(q.push(other, 4));
    ASSERT_TRUE(q.push_position(p3, 4, &replaced));
    EXPECT_EQ(replaced, 0u);
    EXPECT_EQ(held(), (std::vector<int>{2, 2, 2, 2, 9, 9, 9, 9, 3, 3, 3, 3}));
    // Replaced bytes count until the kernel takes some: a client that reads nothing
    // reaches the bound as soon as if every position had queued.
    EXPECT_FALSE(q.push_position(p1, 4, &replaced));
    EXPECT_EQ(held(), (std::vector<int>{2, 2, 2, 2, 9, 9, 9, 9, 3, 3, 3, 3}));
    // Once the first byte of a position is sent it stays whole, and a newer one waits.
    q.consume(9);
    ASSERT_TRUE(q.push_position(p1, 4, &replaced));
    EXPECT_EQ(replaced, 0u);
    EXPECT_EQ(held(), (std::vector<int>{3, 3, 3, 1, 1, 1, 1}));
}

}  // namespace
