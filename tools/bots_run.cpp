// The load tool's event loop: non-blocking sockets in one epoll set, each connection a
// small state machine (playing bot, hostile kind or probe), timers scanned a few
// hundred times a second, everything bounded by the run's seconds.
#include "bots_run.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bots_stream.h"
#include "connection_options.h"

const char *const kind_names[KIND_COUNT] = {"bots",  "idle",  "slow_name", "garbage",
                                            "flood", "probe", "squat"};

namespace {

constexpr int IN_SIZE = 4096;  // above the largest frame (the map, 1,800 bytes)
static_assert(IN_SIZE > TAG_SIZE + POFF2 * MAXPLAYER && IN_SIZE > TAG_SIZE + MAP_PAYLOAD,
              "every frame that fits its layout fits the input buffer whole");
constexpr int OUT_SIZE = 256;  // key frames and a name; a bot never has more to say
constexpr long long MS = 1000;
constexpr long long SECOND = 1000 * MS;
constexpr long long CONNECT_TIMEOUT = 10 * SECOND;
constexpr long long FLOOD_WAIT = 2 * SECOND;      // a flood connection waits this for its greeting
constexpr long long PROBE_TIMEOUT = 10 * SECOND;  // a probe that takes longer has failed
constexpr long long SPACE_HOLD = 100 * MS;
constexpr long long TIMER_SCAN = 5 * MS;
constexpr int GARBAGE_BYTES = 64;  // sent at once and then every second
constexpr int PROBE_SOURCES = 250;
constexpr uint32_t PROBE_BASE = 0x7f020001u;  // 127.2.0.1

enum { C_WAITING, C_CONNECTING, C_OPEN, C_DONE };
enum { P_CHECKIN, P_LOBBY, P_OTHER, P_PLAY, P_PAUSE };

struct connection {
    int kind = KIND_PLAYER;
    int index = 0;  // bot number (players) or number within its kind
    int fd = -1;
    uint32_t gen = 0;
    int state = C_WAITING;
    uint32_t source = 0;     // host order; 0 binds nothing
    long long start_us = 0;  // C_WAITING: when to connect; then when connect() was called
    long long open_us = 0;   // when the connection stood
    long long timer_us = 0;  // next timed action of the kind (0: none)
    bool greeted = false;
    stream_reader rd;
    unsigned char in[IN_SIZE];
    int in_len = 0;
    unsigned char out[OUT_SIZE];
    int out_len = 0;
    bool want_out = false;
    char name[40] = "";
    int name_sent = 0;  // slow name: bytes of the name message sent
    // A playing bot.
    int phase = P_CHECKIN;
    int keys = 0;
    bool space_done = false;  // SPACE pressed in this lobby
    long long release_us = 0;
    long long drive_us = 0;
    long long checked_in_us = 0;
    long long play_since_us = 0;
    long long last_pos_us = 0;
    uint32_t rng = 1;
};

volatile sig_atomic_t interrupted;

void on_interrupt(int)
{
    interrupted = 1;
}

long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * SECOND + ts.tv_nsec / 1000;
}

uint32_t next_rand(uint32_t &s)
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

class loop {
public:
    loop(const bots_options &opts, run_figures &out) : o(opts), fig(out) {}
    bool run();

private:
    const bots_options &o;
    run_figures &fig;
    std::vector<connection> conns;
    std::vector<int> hostile_order;  // indices of idle, slow and garbage, interleaved
    int ep = -1;
    int players_started = 0;
    size_t hostile_started = 0;
    int probes_started = 0;
    int first_probe = 0;  // index of the first probe in conns
    long long t0 = 0, hostile_t0 = 0;

    void build();
    void start_due(long long now);
    void begin_connect(connection &c, long long now);
    void on_event(connection &c, uint32_t events, long long now);
    void on_open(connection &c, long long now);
    void on_readable(connection &c, long long now);
    void on_stream_event(connection &c, const stream_event &ev, long long now);
    void on_frame(connection &c, const stream_event &ev, long long now);
    void on_timer(connection &c, long long now);
    void connect_failed(connection &c, long long now);
    void on_server_closed(connection &c, long long now);
    void finish(connection &c, bool reset);
    void after_finish(connection &c, long long now);
    void queue(connection &c, const unsigned char *bytes, int len);
    void flush(connection &c);
    void update_events(connection &c);
    void send_keys(connection &c, int keys);
    void begin_play(connection &c, long long now);
    void end_play(connection &c, long long now);
    void protocol_error(connection &c, const char *why);
    bot_figures *bot(connection &c)
    {
        return c.kind == KIND_PLAYER ? &fig.bots[static_cast<size_t>(c.index)] : nullptr;
    }
};

void loop::build()
{
    size_t hostile = static_cast<size_t>(o.idle) + static_cast<size_t>(o.slow_name) +
                     static_cast<size_t>(o.garbage) + static_cast<size_t>(o.squat);
    size_t probes = o.probe ? static_cast<size_t>(o.seconds) : 0;
    size_t floods = o.flood ? static_cast<size_t>(o.flood_parallel) : 0;
    conns.resize(static_cast<size_t>(o.clients) + hostile + floods + probes);
    fig.bots.resize(static_cast<size_t>(o.clients));
    size_t k = 0;
    for (int i = 0; i < o.clients; i++, k++) {
        connection &c = conns[k];
        c.kind = KIND_PLAYER;
        c.index = i;
        c.source = o.source_base + static_cast<uint32_t>(i % o.sources);
        if (o.room[0])
            snprintf(c.name, sizeof c.name, "bot%d@%s", i, o.room);
        else if (o.rooms > 0)
            snprintf(c.name, sizeof c.name, "bot%d@r%d", i, i % o.rooms);
        else
            snprintf(c.name, sizeof c.name, "bot%d", i);
        fig.bots[static_cast<size_t>(i)].name = c.name;
        in_addr a{htonl(c.source)};
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &a, text, sizeof text);
        fig.bots[static_cast<size_t>(i)].source = o.server_v6 ? "::1" : text;
    }
    // Hostile kinds interleaved, so any prefix of them holds each kind in proportion.
    int left[4] = {o.idle, o.slow_name, o.garbage, o.squat};
    const int kinds[4] = {KIND_IDLE, KIND_SLOW, KIND_GARBAGE, KIND_SQUAT};
    int numbered[4] = {0, 0, 0, 0};
    for (size_t h = 0; h < hostile;) {
        for (int m = 0; m < 4; m++) {
            if (left[m] == 0)
                continue;
            left[m]--;
            connection &c = conns[k];
            c.kind = kinds[m];
            c.index = numbered[m]++;
            c.source =
                o.hostile_base + static_cast<uint32_t>(h % static_cast<size_t>(o.hostile_sources));
            snprintf(c.name, sizeof c.name, "%s%d", c.kind == KIND_SQUAT ? "squat" : "slow",
                     c.index);
            hostile_order.push_back(static_cast<int>(k));
            k++;
            h++;
        }
    }
    for (size_t f = 0; f < floods; f++, k++) {
        conns[k].kind = KIND_FLOOD;
        conns[k].index = static_cast<int>(f);
        conns[k].source = o.flood_address;
    }
    first_probe = static_cast<int>(k);
    for (size_t p = 0; p < probes; p++, k++) {
        conns[k].kind = KIND_PROBE;
        conns[k].index = static_cast<int>(p);
        conns[k].source = PROBE_BASE + static_cast<uint32_t>(p % PROBE_SOURCES);
        snprintf(conns[k].name, sizeof conns[k].name, "probe%d", static_cast<int>(p));
    }
    uint32_t seed = o.seed ? o.seed : 1;
    for (connection &c : conns) {
        c.rng = seed + static_cast<uint32_t>(&c - conns.data()) * 2654435761u;
        if (c.rng == 0)
            c.rng = 1;
        if (o.server_v6)
            c.source = 0;
    }
}

void loop::begin_connect(connection &c, long long now)
{
    mode_figures &m = fig.modes[c.kind];
    m.started++;
    c.gen++;
    c.start_us = now;
    c.open_us = c.timer_us = c.release_us = c.drive_us = 0;
    c.greeted = false;
    c.rd = stream_reader{};
    c.in_len = c.out_len = c.name_sent = 0;
    c.phase = P_CHECKIN;
    c.keys = 0;
    c.space_done = false;
    c.want_out = false;
    int family = o.server_v6 ? AF_INET6 : AF_INET;
    c.fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool ok = c.fd >= 0;
    if (ok && c.kind == KIND_PLAYER)  // a bot's connection is a game connection like the client's
        set_game_connection_options(c.fd);
    if (ok && c.source) {
        int one = 1;
        // The port is chosen at connect(), so one source address is not held to the
        // ephemeral range once for every destination.
        setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(c.source);
        ok = bind(c.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    if (ok) {
        int rc;
        if (o.server_v6) {
            sockaddr_in6 sa{};
            sa.sin6_family = AF_INET6;
            sa.sin6_port = htons(static_cast<uint16_t>(o.port));
            sa.sin6_addr = in6addr_loopback;
            rc = connect(c.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        } else {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(o.port));
            sa.sin_addr.s_addr = htonl(o.server_v4);
            rc = connect(c.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        }
        ok = rc == 0 || errno == EINPROGRESS;
    }
    if (ok) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = static_cast<uint64_t>(c.gen) << 32 | static_cast<uint32_t>(&c - conns.data());
        ok = epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev) == 0;
        c.want_out = true;
    }
    if (!ok) {
        m.connect_failed++;
        if (bot_figures *b = bot(c))
            b->connect_failed = true;
        if (c.kind == KIND_PROBE)
            fig.probe_failed++;
        finish(c, false);
        after_finish(c, now);
        return;
    }
    c.state = C_CONNECTING;
    c.timer_us = now + CONNECT_TIMEOUT;
}

// Closes the socket; reset drops it with RST instead of FIN (no TIME_WAIT left behind).
void loop::finish(connection &c, bool reset)
{
    if (c.fd >= 0) {
        if (reset) {
            linger l{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(c.fd);
    }
    c.fd = -1;
    c.state = C_DONE;
    c.timer_us = 0;
}

// A flood connection comes back at once; other hostile kinds a second later when
// asked to; bots and probes never.
void loop::after_finish(connection &c, long long now)
{
    if (c.kind == KIND_FLOOD) {
        c.state = C_WAITING;
        c.start_us = now;
    } else if (o.hostile_reconnect && (c.kind == KIND_IDLE || c.kind == KIND_SLOW ||
                                       c.kind == KIND_GARBAGE || c.kind == KIND_SQUAT)) {
        c.state = C_WAITING;
        c.start_us = now + SECOND;
    }
}

void loop::start_due(long long now)
{
    double since = static_cast<double>(now - t0) / SECOND;
    long allowed = static_cast<long>(since * o.ramp) + 1;
    while (players_started < o.clients && players_started < allowed) {
        begin_connect(conns[static_cast<size_t>(players_started)], now);
        players_started++;
    }
    if (now >= hostile_t0) {
        double hs = static_cast<double>(now - hostile_t0) / SECOND;
        size_t hallowed = static_cast<size_t>(hs * o.ramp) + 1;
        while (hostile_started < hostile_order.size() && hostile_started < hallowed)
            begin_connect(conns[static_cast<size_t>(hostile_order[hostile_started++])], now);
    }
    // Probes: one a second from the first second on.
    if (o.probe) {
        long due = (now - t0) / SECOND;
        while (probes_started < due && probes_started < o.seconds) {
            begin_connect(
                conns[static_cast<size_t>(first_probe) + static_cast<size_t>(probes_started)], now);
            probes_started++;
        }
    }
    // Reconnections (flood, and hostile kinds when asked to).
    for (connection &c : conns)
        if (c.state == C_WAITING && c.start_us != 0 && c.start_us <= now &&
            (c.kind == KIND_FLOOD ? now >= hostile_t0 : true) && c.kind != KIND_PLAYER &&
            c.kind != KIND_PROBE)
            begin_connect(c, now);
}

void loop::update_events(connection &c)
{
    bool want = c.out_len > 0 || c.state == C_CONNECTING;
    if (want == c.want_out || c.fd < 0)
        return;
    c.want_out = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.u64 = static_cast<uint64_t>(c.gen) << 32 | static_cast<uint32_t>(&c - conns.data());
    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
}

void loop::flush(connection &c)
{
    while (c.out_len > 0 && c.state == C_OPEN) {
        ssize_t n = send(c.fd, c.out, static_cast<size_t>(c.out_len), MSG_NOSIGNAL);
        if (n <= 0)
            break;  // EAGAIN waits for EPOLLOUT; a real error shows as a close on read
        c.out_len -= static_cast<int>(n);
        memmove(c.out, c.out + n, static_cast<size_t>(c.out_len));
    }
    update_events(c);
}

void loop::queue(connection &c, const unsigned char *bytes, int len)
{
    if (len > OUT_SIZE - c.out_len)
        return;  // a server that reads nothing: the key state is simply not sent
    memcpy(c.out + c.out_len, bytes, static_cast<size_t>(len));
    c.out_len += len;
    flush(c);
}

void loop::send_keys(connection &c, int keys)
{
    c.keys = keys;
    unsigned char msg[KEYS_MSG_SIZE];
    put_be32(msg, TAG_KEYS);
    put_be32(msg + 4, KEYS_MSG_SIZE);
    put_be32(msg + 8, keys);
    queue(c, msg, KEYS_MSG_SIZE);
}

void loop::protocol_error(connection &c, const char *why)
{
    if (bot_figures *b = bot(c)) {
        b->protocol_errors++;
        if (b->first_error.empty())
            b->first_error = why;
    } else if (c.kind == KIND_PROBE) {
        fprintf(stderr, "mazecar-bots: probe %d: %s\n", c.index, why);
    }
}

void loop::begin_play(connection &c, long long now)
{
    c.phase = P_PLAY;
    c.play_since_us = c.last_pos_us = now;
    c.drive_us = now;
}

void loop::end_play(connection &c, long long now)
{
    if (c.phase != P_PLAY)
        return;
    bot_figures &b = fig.bots[static_cast<size_t>(c.index)];
    b.play_s += static_cast<double>(now - c.play_since_us) / SECOND;
    double tail = static_cast<double>(now - c.last_pos_us) / MS;
    if (tail > b.max_gap_ms)
        b.max_gap_ms = tail;
    c.phase = P_OTHER;
}

void loop::on_frame(connection &c, const stream_event &ev, long long now)
{
    bot_figures &b = fig.bots[static_cast<size_t>(c.index)];
    b.tags[ev.tag]++;  // a checked frame's tag is one the server sends, below TAG_COUNT
    switch (ev.tag) {
    case TAG_LOBBY:
        end_play(c, now);
        c.phase = P_LOBBY;
        if (!c.space_done) {
            c.space_done = true;
            if (c.keys & KEY_SPACE)  // still held from a puff of smoke: no press without a release
                send_keys(c, c.keys & ~KEY_SPACE);
            send_keys(c, KEY_SPACE);
            c.release_us = now + SPACE_HOLD;
        }
        break;
    case TAG_READY:
        c.phase = P_OTHER;
        c.space_done = false;
        break;
    case TAG_START: begin_play(c, now); break;
    case TAG_PLAYERINFO: {
        if (c.phase != P_PLAY)
            break;
        double gap = static_cast<double>(now - c.last_pos_us) / MS;
        if (gap > b.max_gap_ms)
            b.max_gap_ms = gap;
        c.last_pos_us = now;
        b.pos_in_play++;
        int status = get_be32(ev.payload + POFF * c.rd.entry + 12);
        if (status == PS_DRIVE || status == PS_BURST || status == PS_NOFUEL)
            b.reached_play = true;
        break;
    }
    case TAG_PAUSE:
        if (c.phase == P_PLAY) {
            end_play(c, now);
            c.phase = P_PAUSE;
        } else if (c.phase == P_PAUSE) {
            begin_play(c, now);
        }
        break;
    case TAG_STAGE_CLEAR:
    case TAG_GAME_OVER:
    case TAG_ROUND_RESULT:
    case TAG_FINAL_RESULT: end_play(c, now); break;
    case TAG_LIVE:
        end_play(c, now);
        c.phase = P_OTHER;
        break;
    case TAG_QUIT: b.quit = true; break;
    default: break;
    }
}

void loop::on_stream_event(connection &c, const stream_event &ev, long long now)
{
    switch (ev.kind) {
    case EV_GREETING: {
        c.greeted = true;
        fig.modes[c.kind].greeted++;
        if (bot_figures *b = bot(c))
            b->told_full = strstr(c.rd.greeting, "taken") || strstr(c.rd.greeting, "is full");
        if (c.kind == KIND_PLAYER || c.kind == KIND_PROBE || c.kind == KIND_SQUAT) {
            unsigned char msg[4 + sizeof c.name];
            int len = static_cast<int>(strlen(c.name)) + 1;
            put_be32(msg, len);
            memcpy(msg + 4, c.name, static_cast<size_t>(len));
            queue(c, msg, 4 + len);
        } else if (c.kind == KIND_SLOW) {
            c.timer_us = now;
        } else if (c.kind == KIND_FLOOD) {
            finish(c, true);
            after_finish(c, now);
        }
        break;
    }
    case EV_CHECKED_IN:
        if (c.kind == KIND_PROBE) {
            fig.probe_ms.push_back(static_cast<double>(now - c.start_us) / MS);
            finish(c, false);
        } else if (bot_figures *b = bot(c)) {
            b->checked_in = true;
            b->checkin_ms = static_cast<double>(now - c.start_us) / MS;
            c.checked_in_us = now;
        }
        break;
    case EV_FRAME:
        if (c.kind == KIND_PLAYER)
            on_frame(c, ev, now);
        break;
    case EV_BAD_FRAME: protocol_error(c, ev.why); break;
    case EV_BROKEN:
        protocol_error(c, ev.why);
        if (c.kind == KIND_PROBE)
            fig.probe_failed++;
        if (c.kind == KIND_PLAYER) {
            end_play(c, now);
            fig.bots[static_cast<size_t>(c.index)].checked_in_s =
                c.checked_in_us ? static_cast<double>(now - c.checked_in_us) / SECOND : 0;
        }
        finish(c, true);
        after_finish(c, now);
        break;
    default: break;
    }
}

void loop::on_server_closed(connection &c, long long now)
{
    mode_figures &m = fig.modes[c.kind];
    m.closed_by_server++;
    m.open_s.push_back(static_cast<double>(now - c.open_us) / SECOND);
    if (!c.greeted)
        m.closed_before_greeting++;
    if (c.kind == KIND_PROBE)
        fig.probe_failed++;
    if (bot_figures *b = bot(c)) {
        end_play(c, now);
        if (c.checked_in_us) {
            b->lost = true;
            b->checked_in_s = static_cast<double>(now - c.checked_in_us) / SECOND;
        } else {
            b->refused = true;
        }
    }
    finish(c, false);
    after_finish(c, now);
}

void loop::on_readable(connection &c, long long now)
{
    for (int rounds = 0; rounds < 4 && c.state == C_OPEN; rounds++) {
        ssize_t n = recv(c.fd, c.in + c.in_len, static_cast<size_t>(IN_SIZE - c.in_len), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            on_server_closed(c, now);
            return;
        }
        if (n < 0)
            return;
        c.in_len += static_cast<int>(n);
        int used = 0;
        while (c.state == C_OPEN) {
            stream_event ev;
            int k = stream_next(c.rd, c.in + used, c.in_len - used, ev);
            used += k;
            if (ev.kind == EV_NEED_MORE)
                break;
            on_stream_event(c, ev, now);
        }
        if (c.state != C_OPEN)
            return;
        c.in_len -= used;
        memmove(c.in, c.in + used, static_cast<size_t>(c.in_len));
    }
}

void loop::on_open(connection &c, long long now)
{
    c.state = C_OPEN;
    c.open_us = now;
    c.timer_us = 0;
    fig.modes[c.kind].connected++;
    if (bot_figures *b = bot(c))
        b->connected = true;
    if (c.kind == KIND_GARBAGE)
        c.timer_us = now;
    if (c.kind == KIND_FLOOD)
        c.timer_us = now + FLOOD_WAIT;
    if (c.kind == KIND_PROBE)
        c.timer_us = c.start_us + PROBE_TIMEOUT;
    update_events(c);
}

void loop::on_event(connection &c, uint32_t events, long long now)
{
    if (c.state == C_CONNECTING) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            connect_failed(c, now);
            return;
        }
        if (!(events & (EPOLLOUT | EPOLLIN)))
            return;
        on_open(c, now);
    }
    if (c.state == C_OPEN && (events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
        on_readable(c, now);
    if (c.state == C_OPEN && (events & EPOLLOUT))
        flush(c);
}

// A connection that never opened: counted for its kind, then ended.
void loop::connect_failed(connection &c, long long now)
{
    fig.modes[c.kind].connect_failed++;
    if (bot_figures *b = bot(c))
        b->connect_failed = true;
    if (c.kind == KIND_PROBE)
        fig.probe_failed++;
    finish(c, false);
    after_finish(c, now);
}

void loop::on_timer(connection &c, long long now)
{
    if (c.state == C_CONNECTING) {
        if (c.timer_us && now >= c.timer_us)
            connect_failed(c, now);
        return;
    }
    if (c.state != C_OPEN)
        return;
    if (c.kind == KIND_PLAYER) {
        if (c.release_us && now >= c.release_us) {
            c.release_us = 0;
            send_keys(c, c.keys & ~KEY_SPACE);
        }
        if (c.phase == P_PLAY && now >= c.drive_us) {
            static const int arrows[4] = {KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT};
            int keys = arrows[next_rand(c.rng) % 4];
            if (next_rand(c.rng) % 5 == 0) {  // now and then a puff of smoke
                keys |= KEY_SPACE;
                c.release_us = now + SPACE_HOLD;
            }
            send_keys(c, keys);
            c.drive_us = now + 500 * MS + static_cast<long long>(next_rand(c.rng) % 1500) * MS;
        }
        return;
    }
    if (!c.timer_us || now < c.timer_us)
        return;
    switch (c.kind) {
    case KIND_SLOW: {
        unsigned char msg[4 + sizeof c.name];
        int len = static_cast<int>(strlen(c.name)) + 1;
        put_be32(msg, len);
        memcpy(msg + 4, c.name, static_cast<size_t>(len));
        if (c.name_sent < 4 + len) {
            queue(c, msg + c.name_sent, 1);
            c.name_sent++;
        }
        c.timer_us = now + SECOND;
        break;
    }
    case KIND_GARBAGE: {
        unsigned char junk[GARBAGE_BYTES];
        for (unsigned char &byte : junk)
            byte = static_cast<unsigned char>(next_rand(c.rng));
        queue(c, junk, GARBAGE_BYTES);
        c.timer_us = now + SECOND;
        break;
    }
    case KIND_FLOOD:  // no greeting in time: give up on this one and go again
        finish(c, true);
        after_finish(c, now);
        break;
    case KIND_PROBE:
        fig.probe_failed++;
        protocol_error(c, "check-in not finished in 10 s");
        finish(c, false);
        break;
    default: break;
    }
}

bool loop::run()
{
    build();
    ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        perror("mazecar-bots: epoll_create1");
        return false;
    }
    t0 = now_us();
    hostile_t0 = t0 + static_cast<long long>(o.hostile_delay * SECOND);
    for (connection &c : conns)
        if (c.kind == KIND_FLOOD)
            c.start_us = hostile_t0;
    long long end = t0 + o.seconds * SECOND;
    long long next_scan = t0;
    std::vector<epoll_event> events(1024);
    for (long long now = t0; now < end && !interrupted; now = now_us()) {
        start_due(now);
        long long wait = (next_scan - now) / MS;
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()),
                           wait < 0 ? 0 : static_cast<int>(wait) + 1);
        if (n < 0 && errno != EINTR) {
            perror("mazecar-bots: epoll_wait");
            break;
        }
        now = now_us();
        long long busy_from = now;
        for (int k = 0; k < n; k++) {
            uint64_t data = events[static_cast<size_t>(k)].data.u64;
            size_t idx = static_cast<uint32_t>(data);
            // An event of a socket this connection has since closed and replaced.
            if (idx >= conns.size() || static_cast<uint32_t>(data >> 32) != conns[idx].gen ||
                conns[idx].fd < 0)
                continue;
            connection &c = conns[idx];
            on_event(c, events[static_cast<size_t>(k)].events, now);
        }
        if (now >= next_scan) {
            for (connection &c : conns)
                on_timer(c, now);
            next_scan = now + TIMER_SCAN;
        }
        // A long stretch here delays every bot's reading: a gap the server did not make.
        double busy = static_cast<double>(now_us() - busy_from) / MS;
        if (busy > fig.max_busy_ms)
            fig.max_busy_ms = busy;
    }
    long long now = now_us();
    fig.seconds = static_cast<double>(now - t0) / SECOND;
    for (connection &c : conns) {
        if (c.state == C_CONNECTING || c.state == C_OPEN) {
            fig.modes[c.kind].open_at_end++;
            if (c.kind == KIND_PLAYER) {
                end_play(c, now);
                if (c.checked_in_us)
                    fig.bots[static_cast<size_t>(c.index)].checked_in_s =
                        static_cast<double>(now - c.checked_in_us) / SECOND;
            }
        }
        finish(c, false);
    }
    close(ep);
    rusage ru;
    if (getrusage(RUSAGE_SELF, &ru) == 0)
        fig.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return true;
}

}  // namespace

bool run_bots(const bots_options &opts, run_figures &out)
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
        out.fd_limit = rl.rlim_cur > 1u << 30 ? 1 << 30 : static_cast<int>(rl.rlim_cur);
    }
    long needed = static_cast<long>(opts.clients) + opts.idle + opts.slow_name + opts.garbage +
                  opts.squat + (opts.flood ? opts.flood_parallel : 0) + (opts.probe ? 1 : 0) + 16;
    if (needed > out.fd_limit)
        fprintf(stderr,
                "mazecar-bots: %ld connections need more than the %d descriptors allowed; "
                "those beyond fail to connect\n",
                needed, out.fd_limit);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    loop l(opts, out);
    return l.run();
}
