// Fuzz target: what clients send to the game server. The server's own event loop
// runs unchanged on a local listening socket; up to four client sockets send what the
// input says (raw bytes, name messages with and without rooms, key frames, closes,
// reconnects) one step per turn of the loop, and the clock the loop reads is a
// virtual one, so game ticks come when the input asks and every run is the same. The
// table holds fewer connections than there are clients and few games may be open, so
// eviction, refusals and several games at once are all reached. In some runs the
// clients stand for a trusted load balancer: every connection seems to come from
// 127.0.0.1, the server takes PROXY headers from there, and the input can send them.
// Checked on every turn: the connection table's bounds, each connection's place in
// its game, every game's own invariants, that what the server sends is a stream the
// client accepts, and at the end that every client that went away was dropped.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "game/game.h"
#include "net/connections.h"

namespace {

constexpr int CLIENTS = 4;
constexpr int TABLE = 3;  // connections the server may hold: fewer than the clients
constexpr int GAMES = 3;
constexpr int TURNS_TO_DROP = 2000;  // turns after the input ends for every drop
constexpr long long CLOCK_START_US = 1000000000LL;

// The virtual monotonic clock, in use only while the server runs.
bool serving;
game_server *current;
int slots;          // places of every game of this run
bool balancer_run;  // the clients stand for a trusted balancer
long long virtual_us;

[[noreturn]] void fault(const char *what, int value)
{
    fprintf(stderr, "server fuzz: %s (%d)\n", what, value);
    abort();
}

// What a client reads: the check-in texts and words, then frames.
enum { R_GREET_LEN, R_GREET, R_ENTRY, R_PLAYERS, R_TEXT_LEN, R_TEXT, R_FRAMES };

struct client {
    int fd = -1;
    bool writing = false;  // false after a half close
    bool reading = true;   // false while the client leaves the server's bytes unread
    int stage = R_GREET_LEN;
    unsigned char in[NET_BUF_SIZE * 2];
    int have = 0;
    int32_t text_len = 0;
    int players = 0;
    int enemies = 0;  // from the last round information
};

client clients[CLIENTS];
int listen_fd = -1;
const uint8_t *script;
size_t script_len, script_pos;

int32_t be32(const unsigned char *p)
{
    return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                                p[3]);
}

void put32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// The least size the client accepts for a tag; -1 for a tag it never expects.
int layout_size(const client &c, int32_t tag)
{
    return message_size(tag, c.players + c.enemies);
}

// Takes one item off the front of what the client has read; false when more bytes
// are needed.
bool parse_one(client &c)
{
    auto need = [&c](int n) { return c.have >= n; };
    int used = 0;
    switch (c.stage) {
    case R_GREET_LEN:
    case R_TEXT_LEN:
        if (!need(4))
            return false;
        c.text_len = be32(c.in);
        if (c.text_len < 1 || c.text_len > NET_BUF_SIZE)
            fault("check-in text length the client refuses", c.text_len);
        used = 4;
        c.stage++;
        break;
    case R_GREET:
    case R_TEXT:
        if (!need(c.text_len))
            return false;
        if (c.in[c.text_len - 1] != '\0')
            fault("check-in text without its NUL", c.text_len);
        used = c.text_len;
        c.stage++;
        break;
    case R_ENTRY:
        if (!need(4))
            return false;
        if (be32(c.in) < 0 || be32(c.in) >= slots)
            fault("entry number outside the places", be32(c.in));
        used = 4;
        c.stage++;
        break;
    case R_PLAYERS:
        if (!need(4))
            return false;
        c.players = be32(c.in);
        if (c.players != slots)
            fault("number of players differs from the places", c.players);
        used = 4;
        c.stage++;
        break;
    default: {
        if (!need(TAG_SIZE))
            return false;
        int32_t tag = be32(c.in);
        int32_t size = be32(c.in + 4);
        int least = layout_size(c, tag);
        if (least < 0)
            fault("frame with a tag the client has no use for", tag);
        if (size < least || size > NET_BUF_SIZE)
            fault("frame size outside what its tag needs", size);
        if (!need(size))
            return false;
        if (tag == TAG_ROUNDINFO)
            c.enemies = be32(c.in + TAG_SIZE + 12);
        used = size;
        break;
    }
    }
    c.have -= used;
    memmove(c.in, c.in + used, static_cast<size_t>(c.have));
    return true;
}

void read_from_server(client &c)
{
    while (c.fd >= 0 && c.reading) {
        ssize_t n =
            recv(c.fd, c.in + c.have, sizeof c.in - static_cast<size_t>(c.have), MSG_DONTWAIT);
        if (n <= 0)
            return;
        c.have += static_cast<int>(n);
        while (parse_one(c)) {
        }
    }
}

void connect_client(client &c)
{
    if (c.fd >= 0)
        return;
    c = client{};
    c.fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    socklen_t len = sizeof sa;
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (c.fd < 0 || connect(c.fd, reinterpret_cast<sockaddr *>(&sa), len) != 0)
        fault("cannot connect to the server's socket", errno);
    c.writing = true;
}

void close_client(client &c)
{
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.writing = false;
}

void send_to_server(client &c, const void *bytes, size_t len)
{
    if (c.fd >= 0 && c.writing && len > 0)
        send(c.fd, bytes, len, MSG_DONTWAIT | MSG_NOSIGNAL);
}

uint8_t next_byte()
{
    return script_pos < script_len ? script[script_pos++] : 0;
}

// A PROXY header from the input's next bytes: kind, then for an address header four
// address bytes (IPv4, and the last four of an IPv6 address). Kind bit 4 sends only the
// header's first half, so the rest may come with later raw bytes.
void send_proxy_header(client &c)
{
    static const unsigned char sig[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d,
                                          0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
    uint8_t kind = next_byte();
    unsigned char h[128] = {};
    size_t n = 0;
    unsigned char a[4];
    for (unsigned char &b : a)
        b = kind % 4 == 1 ? 0 : next_byte();
    switch (kind % 4) {
    case 0:  // version 2, TCP over IPv4
    case 3:  // version 2, TCP over IPv6
    case 1:  // version 2 LOCAL: the balancer's health check
        memcpy(h, sig, 12);
        h[12] = kind % 4 == 1 ? 0x20 : 0x21;
        h[13] = kind % 4 == 0 ? 0x11 : kind % 4 == 3 ? 0x21 : 0x00;
        h[15] = kind % 4 == 0 ? 12 : kind % 4 == 3 ? 36 : 0;
        memcpy(h + 16 + (kind % 4 == 3 ? 12 : 0), a, 4);
        n = 16u + h[15];
        break;
    default:  // version 1, TCP over IPv4
        n = static_cast<size_t>(snprintf(reinterpret_cast<char *>(h), sizeof h,
                                         "PROXY TCP4 %d.%d.%d.%d 127.0.0.1 %d 5555\r\n", a[0], a[1],
                                         a[2], a[3], a[3] * 100));
        break;
    }
    send_to_server(c, h, (kind & 0x10) ? n / 2 : n);
}

// Ticks still to wait: each turn of the loop jumps the clock to the next tick.
int wait_turns;

// One step of the input. Op byte: low three bits the kind, the next two the client.
void run_step()
{
    uint8_t op = next_byte();
    client &c = clients[(op >> 3) % CLIENTS];
    switch (op & 7) {
    case 1: send_proxy_header(c); break;
    case 0: {  // raw bytes
        size_t len = next_byte();
        len = len < script_len - script_pos ? len : script_len - script_pos;
        send_to_server(c, script + script_pos, len);
        script_pos += len;
        break;
    }
    case 2: {  // a well-formed key frame
        unsigned char frame[KEYS_MSG_SIZE];
        put32(frame, TAG_KEYS);
        put32(frame + 4, KEYS_MSG_SIZE);
        for (int i = 0; i < 4; i++)
            frame[8 + i] = next_byte();
        send_to_server(c, frame, sizeof frame);
        break;
    }
    case 3: {  // a name message, its length near the bounds the server checks
        unsigned char msg[4 + 80];
        int len = next_byte() % 70;
        put32(msg, static_cast<uint32_t>(len));
        for (int i = 0; i < len; i++)
            msg[4 + i] = next_byte();
        if (len >= 4 && (op & 0x20)) {  // a room: one of two short ones
            memcpy(msg + 4 + len - 4, (op & 0x40) ? "@r1" : "@r2", 4);
        }
        send_to_server(c, msg, 4 + static_cast<size_t>(len));
        break;
    }
    case 4: wait_turns += next_byte() % 64; break;
    case 5: close_client(c); break;
    case 6: connect_client(c); break;
    default:
        if (op & 0x20) {  // stop or resume reading what the server sends
            c.reading = !c.reading;
            break;
        }
        if (c.fd >= 0)
            shutdown(c.fd, SHUT_WR);
        c.writing = false;
        break;
    }
}

void check_game(const hosted_game &hg)
{
    const game &g = hg.g;
    for (int i = 0; i < g.car_total(); i++) {
        const car &c = g.cars[i];
        if (c.status == PS_NONE)
            continue;
        if (c.x < 0 || c.x >= WORLD_W || c.y < 0 || c.y >= WORLD_H)
            fault("car outside the maze", i);
        if (c.heading < DIR_UP || c.heading > DIR_RIGHT)
            fault("car heading outside the four", c.heading);
        if (c.fuel < 0 || c.fuel > FUEL_FULL)
            fault("fuel outside the tank", c.fuel);
    }
    if (g.out.dropped != 0 || current->stats.outbox_dropped != 0)
        fault("outbox overflowed", static_cast<int>(g.out.dropped));
    for (int s = 0; s < g.cfg.slots; s++)
        if (hg.conn[s] >= 0 && !g.cars[s].connected)
            fault("a connection on a place the game thinks empty", s);
}

void check_server_state()
{
    const game_server &srv = *current;
    if (static_cast<int>(srv.places.games.size()) > GAMES)
        fault("more games than the cap", static_cast<int>(srv.places.games.size()));
    for (size_t i = 0; i < srv.conns.size(); i++) {
        const conn &k = srv.conns[i];
        if (k.state == CS_FREE)
            continue;
        if (k.state != CS_NAME && k.state != CS_PLAY && k.state != CS_PROXY)
            fault("connection in no known state", k.state);
        if (k.in_len < 0 || k.in_len > IN_BUF_SIZE)
            fault("input length outside its buffer", k.in_len);
        if (k.state == CS_PROXY &&
            (!balancer_run || k.in_len >= static_cast<int>(PROXY_HEADER_MAX)))
            fault("waiting for a PROXY header it should not wait for", k.in_len);
        if (k.out.pending() > k.out.limit)
            fault("output queue past its bound", static_cast<int>(k.out.pending()));
        if (k.state == CS_PLAY) {
            if (!k.hg || k.slot < 0 || k.slot >= k.hg->g.cfg.slots)
                fault("playing connection without a place", k.slot);
            if (k.hg->conn[k.slot] != static_cast<int>(i))
                fault("the place does not know its connection", k.slot);
        }
    }
    for (const auto &hg : srv.places.games)
        check_game(*hg);
}

bool all_dropped()
{
    for (const conn &k : current->conns)
        if (k.state != CS_FREE)
            return false;
    return current->places.games.empty();
}

int turns_after_end;

// One turn of the server's loop: read what the clients got, check, play one step.
void between_turns(int timeout_ms)
{
    for (client &c : clients)
        read_from_server(c);
    check_server_state();
    if (wait_turns > 0) {
        wait_turns--;
        virtual_us += timeout_ms > 0 ? timeout_ms * 1000LL : 1000;
    } else if (script_pos < script_len) {
        run_step();
        virtual_us += 100;
    } else {
        for (client &c : clients)
            close_client(c);
        virtual_us += timeout_ms > 0 ? timeout_ms * 1000LL : 1000;
        if (all_dropped())
            current->request_stop();
        else if (++turns_after_end > TURNS_TO_DROP)
            fault("a connection whose client went away was never dropped", 0);
    }
}

game_config config_from(const uint8_t *data, size_t size, size_t *used)
{
    uint8_t b[6] = {};
    for (size_t i = 0; i < 6 && i < size; i++)
        b[i] = data[i];
    *used = size < 6 ? size : 6;
    game_config g{};
    g.slots = 1 + b[0] % 3;
    g.enemies = b[1] % (MAXPLAYER - g.slots + 1);
    g.rounds = 1 + b[2] % 3;
    g.flags = 1 + b[3] % 8;
    g.seed = b[4];
    g.lobby_seconds = b[5] % 3;
    balancer_run = (b[5] & 0x80) != 0;
    g.wait_ticks = 2;
    return g;
}

}  // namespace

// In a balancer run every client seems to connect from 127.0.0.1, the trusted balancer.
extern "C" int accept4(int fd, struct sockaddr *addr, socklen_t *len, int flags)
{
    using real_fn = int (*)(int, struct sockaddr *, socklen_t *, int);
    static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "accept4"));
    socklen_t room = len ? *len : 0;
    int r = real(fd, addr, len, flags);
    if (r >= 0 && serving && balancer_run && addr && room >= sizeof(sockaddr_in)) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        memcpy(addr, &v4, sizeof v4);
        *len = sizeof v4;
    }
    return r;
}

// The loop's clock and its wait, while serve() runs; the real ones otherwise.
extern "C" int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    if (serving && id == CLOCK_MONOTONIC) {
        ts->tv_sec = virtual_us / 1000000;
        ts->tv_nsec = (virtual_us % 1000000) * 1000;
        return 0;
    }
    using real_fn = int (*)(clockid_t, struct timespec *);
    static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real(id, ts);
}

extern "C" int epoll_wait(int epfd, struct epoll_event *events, int n, int timeout)
{
    if (serving)
        between_turns(timeout);
    return epoll_pwait(epfd, events, n, serving ? 0 : timeout, nullptr);
}

extern "C" int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    if (serving)
        between_turns(timeout);
    timespec zero{0, 0};
    return ppoll(fds, n, serving ? &zero : nullptr, nullptr);
}

// The checked entry the C library's fortified poll() calls in an optimised build.
extern "C" int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fds_size)
{
    if (n > fds_size / sizeof *fds)
        fault("poll() given more descriptors than its array holds", static_cast<int>(n));
    return poll(fds, n, timeout);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    signal(SIGPIPE, SIG_IGN);
    listen_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    // An abstract name, unique to this process: nothing in the file system.
    int len = snprintf(sa.sun_path + 1, sizeof sa.sun_path - 1, "mazecar-fuzz-%d", getpid());
    socklen_t sa_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    if (listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sa_len) != 0 ||
        listen(listen_fd, CLIENTS) != 0 || fcntl(listen_fd, F_SETFL, O_NONBLOCK) != 0)
        fault("cannot open the listening socket", errno);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t used = 0;
    game_config cfg = config_from(data, size, &used);
    slots = cfg.slots;
    script = data + used;
    script_len = size - used;
    script_pos = 0;
    wait_turns = 0;
    turns_after_end = 0;
    connect_client(clients[0]);

    server_settings settings = default_server_settings();
    settings.checkin_ms = 1000;
    settings.max_connections = TABLE;
    // Clients on the local socket share one address; behind the balancer each has the
    // address its header names, and two with the same one meet the limit.
    settings.per_address = balancer_run ? 1 : 1000;
    std::string err;
    if (balancer_run && !parse_proxy_ranges("127.0.0.1", settings.proxy_from, err))
        fault("the trusted address does not parse", 0);
    settings.connect_rate = 1000000;
    settings.games_max = GAMES;
    settings.stats_seconds = 0;
    virtual_us = CLOCK_START_US;
    server_log quiet(-1);  // no writer thread: the loop stays the only thread
    game_server srv(cfg, settings, nullptr, nullptr, &quiet);
    current = &srv;
    serving = true;
    srv.run(listen_fd);
    serving = false;

    for (client &c : clients)
        close_client(c);
    if (!all_dropped())
        fault("the server stopped with connections or games open", 0);
    current = nullptr;
    // Anything still waiting in the backlog was never accepted: take it away.
    for (;;) {
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0)
            break;
        close(fd);
    }
    return 0;
}
