// Connections and the event loop. A connection greets, reads the name, is placed in a
// game, answers with entry number, number of players and a second text, then carries
// framed messages: the game's out, 12-byte key states in. Anything else from a client
// (a bad frame, a stalled check-in, a full output queue, a flood of frames) drops that
// client alone.
#include "net/connections.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connection_options.h"
#include "log.h"

volatile sig_atomic_t stop_requested;

namespace {

constexpr int EVENTS_MAX = 256;
constexpr uint64_t LISTENER = ~uint64_t{0};
constexpr long long PRUNE_PERIOD_MS = 10000;

long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long now_ms()
{
    return now_us() / 1000;
}

long long unix_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Games hold their final result until the record is stored, when there is a store.
game_config with_store(game_config cfg, const record_store *store)
{
    cfg.await_record = store && store->keeps_records();
    return cfg;
}

uint64_t event_tag(int index, uint32_t gen)
{
    return uint64_t{gen} << 32 | static_cast<uint32_t>(index);
}

}  // namespace

server_settings default_server_settings()
{
    return server_settings{10 * 1000, 4096, 8, 10, 1000, 60, nullptr, OUT_BUF_SIZE, SOCKET_SNDBUF};
}

bool out_queue::push(const void *bytes, size_t len)
{
    if (pending() > limit || len > limit - pending())
        return false;
    if (start > 0 && start >= buf.size() / 2) {  // reuse the sent front before growing
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(start));
        start = 0;
    }
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    buf.insert(buf.end(), p, p + len);
    return true;
}

void out_queue::consume(size_t n)
{
    start += n < pending() ? n : pending();
    if (start == buf.size()) {
        buf.clear();
        start = 0;
    }
}

void out_queue::reset()
{
    std::vector<unsigned char>().swap(buf);
    start = 0;
}

int open_listener(const char *addr, int port, int *bound_port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%d", port);
    if (getaddrinfo(addr, port_text, &hints, &found) != 0 || !found) {
        fprintf(stderr, "mazecar-server: %s is not an IPv4 or IPv6 address\n", addr);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("mazecar-server: socket");
        freeaddrinfo(found);
        return -1;
    }
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (found->ai_family == AF_INET6)  // "::" serves IPv4 too, where the system allows it
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
        bool v6 = found->ai_family == AF_INET6;
        fprintf(stderr, "mazecar-server: cannot listen on %s%s%s:%d: %s\n", v6 ? "[" : "", addr,
                v6 ? "]" : "", port, strerror(errno));
        close(fd);
        freeaddrinfo(found);
        return -1;
    }
    freeaddrinfo(found);
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (bound_port)
        *bound_port =
            ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(sa).sin6_port
                                           : reinterpret_cast<sockaddr_in &>(sa).sin_port);
    return fd;
}

server::server(const game_config &base, const server_settings &settings, record_store *store,
               snapshot_board *board)
    : conns(static_cast<size_t>(settings.max_connections > 0 ? settings.max_connections : 1)),
      places(with_store(base, store), settings.games_max), settings_(settings),
      limits_(settings.per_address, settings.connect_rate, CONNECT_RATE_WINDOW_MS), store_(store),
      board_(board), started_unix_ms_(unix_ms())
{
    if (store_)
        places.best_score = store_->best_score();
    for (int i = static_cast<int>(conns.size()) - 1; i >= 0; i--)
        free_.push_back(i);
}

server::~server()
{
    for (conn &c : conns)
        if (c.state != CS_FREE)
            close(c.fd);
    if (epoll_fd_ >= 0)
        close(epoll_fd_);
    if (spare_fd_ >= 0)
        close(spare_fd_);
}

// ---- Accepting, within the limits ----

void server::refuse(int fd, int reason, const char *addr_text)
{
    close(fd);
    stats.reasons[reason]++;
    log_event("refused a connection from %s: %s", addr_text, reason_names[reason]);
}

void server::accept_some(int listen_fd)
{
    for (int k = 0; k < ACCEPTS_PER_TURN; k++) {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            admit(fd, sa);
            continue;
        }
        if ((errno == EMFILE || errno == ENFILE) && spare_fd_ >= 0) {
            // Out of descriptors: take the connection with the spare one and close it,
            // so the listening socket does not stay readable for ever.
            close(spare_fd_);
            fd = accept(listen_fd, nullptr, nullptr);
            if (fd >= 0)
                refuse(fd, REFUSED_FULL, "?");
            spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
            continue;
        }
        return;
    }
}

bool server::evict_oldest_checkin()
{
    while (!checkins_.empty()) {
        auto [index, gen] = checkins_.front();
        checkins_.pop_front();
        conn &c = conns[static_cast<size_t>(index)];
        if ((c.state == CS_NAME || c.state == CS_PROXY) && c.gen == gen) {
            drop(c, DROPPED_EVICTED, "made room for a newcomer");
            return true;
        }
    }
    return false;
}

// Tells a newcomer that every game is running and full; true when it was turned away.
bool server::turn_away_if_no_game(int fd)
{
    if (places.has_room_for_newcomer())
        return false;
    char text[256];
    int len = snprintf(text, sizeof text,
                       "Mazecar server: all %d games are running and full, try again later.\n",
                       places.games_max) +
              1;
    unsigned char word[4];
    put_be32(word, len);
    send(fd, word, 4, MSG_NOSIGNAL | MSG_DONTWAIT);
    send(fd, text, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    return true;
}

// A connection from a trusted balancer is neither limited nor greeted here: its PROXY
// header names the client, and the client's address is what the limits count.
void server::admit(int fd, const sockaddr_storage &sa)
{
    char addr_text[sizeof conn{}.addr_text];
    format_address(sa, addr_text, sizeof addr_text);
    bool proxied = proxy_trusted(settings_.proxy_from, sa);
    addr_key key = address_key(sa);
    if (!proxied) {
        admit_verdict verdict = limits_.admit(key, now_ms());
        if (verdict != ADMIT_OK) {
            refuse(fd, verdict == ADMIT_TOO_FAST ? REFUSED_RATE : REFUSED_PER_ADDRESS, addr_text);
            return;
        }
    }
    if (free_.empty() && !evict_oldest_checkin()) {
        if (!proxied)
            limits_.release(key);
        refuse(fd, REFUSED_FULL, addr_text);
        return;
    }
    if (!proxied && turn_away_if_no_game(fd)) {
        limits_.release(key);
        refuse(fd, REFUSED_GAMES, addr_text);
        return;
    }
    int index = free_.back();
    free_.pop_back();
    conn &c = conns[static_cast<size_t>(index)];
    c.gen++;
    c.state = proxied ? CS_PROXY : CS_NAME;
    c.fd = fd;
    c.addr = key;
    memcpy(c.addr_text, addr_text, sizeof c.addr_text);
    c.deadline_ms = now_ms() + settings_.checkin_ms;
    c.hg = nullptr;
    c.slot = -1;
    c.in_len = 0;
    c.out.reset();
    c.out.limit = static_cast<size_t>(settings_.out_queue_bytes);
    c.flush_pending = c.polling_out = false;
    c.frames_step = -1;
    int sndbuf = settings_.socket_sndbuf;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    if (sa.ss_family == AF_INET || sa.ss_family == AF_INET6)  // a vanished player is dropped
        enable_dead_peer_detection(fd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = event_tag(index, c.gen);
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        drop(c, DROPPED_BAD_INPUT, strerror(errno));
        return;
    }
    checkins_.emplace_back(index, c.gen);
    if (!proxied) {
        stats.connections_accepted++;
        greet(c);
    }
}

// The first bytes from a trusted balancer: the header, then the client's address is
// limited and greeted as if it had connected itself. A LOCAL header is the balancer's
// health check, closed without a log line.
void server::read_proxy_header(conn &c)
{
    proxy_header h;
    proxy_result r = parse_proxy_header(c.in, static_cast<size_t>(c.in_len), &h);
    if (r == PROXY_NEED_MORE)
        return;
    if (r == PROXY_INVALID) {
        drop(c, DROPPED_BAD_PROXY, "no valid PROXY header from a trusted balancer");
        return;
    }
    if (h.local) {
        stats.health_checks++;
        drop(c, -1, nullptr);
        return;
    }
    c.in_len -= static_cast<int>(h.length);
    memmove(c.in, c.in + h.length, static_cast<size_t>(c.in_len));
    format_address(h.source, c.addr_text, sizeof c.addr_text);
    c.addr = address_key(h.source);
    admit_verdict verdict = limits_.admit(c.addr, now_ms());
    if (verdict != ADMIT_OK) {  // still CS_PROXY: drop() releases nothing
        int reason = verdict == ADMIT_TOO_FAST ? REFUSED_RATE : REFUSED_PER_ADDRESS;
        drop(c, reason, reason_names[reason]);
        return;
    }
    c.state = CS_NAME;
    if (turn_away_if_no_game(c.fd)) {
        drop(c, REFUSED_GAMES, reason_names[REFUSED_GAMES]);
        return;
    }
    stats.connections_accepted++;
    greet(c);
}

void server::expire_checkins(long long now)
{
    while (!checkins_.empty()) {
        auto [index, gen] = checkins_.front();
        conn &c = conns[static_cast<size_t>(index)];
        bool current = (c.state == CS_NAME || c.state == CS_PROXY) && c.gen == gen;
        if (current && now <= c.deadline_ms)
            return;
        checkins_.pop_front();
        if (current)
            drop(c, DROPPED_CHECKIN_TIMEOUT, "check-in timed out");
    }
}

// ---- The check-in ----

static bool queue_word(out_queue &q, int32_t value)
{
    unsigned char w[4];
    put_be32(w, value);
    return q.push(w, 4);
}

static bool queue_text(out_queue &q, const char *text)
{
    int len = static_cast<int>(strlen(text)) + 1;  // the NUL travels too
    return queue_word(q, len) && q.push(text, static_cast<size_t>(len));
}

void server::greet(conn &c)
{
    const game_config &cfg = places.base();
    char text[1024];
    snprintf(text, sizeof text,
             "Welcome to Mazecar! Up to %d players, %d enemy cars, %d rounds.\n"
             "Take every flag in the maze: plain flags 100 points, \"L\" 200 and a spare car,\n"
             "\"S\" 200 and a full tank. Enemy cars and rocks burst your car; fuel drains.\n"
             "Keys in the lobby: SPACE checks in, S switches car control CLASSIC/MODERN.\n"
             "  MODERN: the arrow you press is where the car goes.\n"
             "  CLASSIC: UP drives, LEFT/RIGHT turn at the next crossing, DOWN turns round.\n"
             "Keys in play: SPACE lays smoke (costs fuel, stops enemies), Q pauses.\n"
             "To play with friends, all of you type your name as name@room (room: 1 to 8\n"
             "letters or digits); any other name joins the next free game.\n"
             "Your name: ",
             cfg.slots, cfg.enemies, cfg.rounds);
    queue_text(c.out, text);
    want_flush(c);
}

void server::read_name(conn &c)
{
    if (c.in_len < 4)
        return;
    int32_t len = get_be32(c.in);
    if (len < 1 || len > NAME_IN_MAX) {
        drop(c, DROPPED_BAD_INPUT, "name length out of range");
        return;
    }
    if (c.in_len >= 4 + len)
        finish_check_in(c, len);
}

// The name message is complete: place the player in a game and answer.
void server::finish_check_in(conn &c, int name_len)
{
    char raw[NAME_IN_MAX + 1];
    memcpy(raw, c.in + 4, static_cast<size_t>(name_len));
    raw[name_len] = '\0';
    c.in_len -= 4 + name_len;
    memmove(c.in, c.in + 4 + name_len, static_cast<size_t>(c.in_len));

    std::string name, room;
    split_room(raw, name, room);
    placed p{};
    if (!places.place(room, p)) {
        drop(c, REFUSED_GAMES, "no game has a free place");
        return;
    }
    touch(p.hg);  // a game just opened is closed again if this check-in fails
    const game_config &cfg = p.hg->g.cfg;
    char where[64] = "";
    if (!p.hg->room.empty())
        snprintf(where, sizeof where, " in room %s", p.hg->room.c_str());
    char text[512];
    snprintf(text, sizeof text,
             "%sYou are player %d of %d%s. Press SPACE in the game window to check in;\n"
             "a player who does not check in watches the game.\n",
             p.room_was_full ? "That room is full: you play in a quick-play game instead.\n" : "",
             p.slot + 1, cfg.slots, where);
    if (!queue_word(c.out, p.slot) || !queue_word(c.out, cfg.slots) || !queue_text(c.out, text)) {
        drop(c, DROPPED_NOT_READING, "output queue full during check-in");
        return;
    }
    want_flush(c);
    c.state = CS_PLAY;
    c.hg = p.hg;
    c.slot = p.slot;
    p.hg->conn[p.slot] = index_of(c);
    p.hg->g.join(p.slot, name.c_str());
}

void server::read_frames(conn &c)
{
    int used = 0;
    while (c.state == CS_PLAY && c.in_len - used >= TAG_SIZE) {
        int32_t tag = get_be32(c.in + used);
        int32_t size = get_be32(c.in + used + 4);
        if (tag != TAG_KEYS || size != KEYS_MSG_SIZE) {
            drop(c, DROPPED_BAD_INPUT, "bad frame");
            return;
        }
        if (c.in_len - used < KEYS_MSG_SIZE)
            break;
        if (c.frames_step != steps) {
            c.frames_step = steps;
            c.frames = 0;
        }
        if (++c.frames > KEY_FRAMES_PER_STEP) {
            drop(c, DROPPED_FLOODING, "too many key frames");
            return;
        }
        c.hg->g.keys(c.slot, get_be32(c.in + used + TAG_SIZE));
        used += KEYS_MSG_SIZE;
    }
    c.in_len -= used;
    memmove(c.in, c.in + used, static_cast<size_t>(c.in_len));
}

void server::on_readable(conn &c)
{
    if (c.in_len >= IN_BUF_SIZE) {  // never with the bounds above; a guard, not a path
        drop(c, DROPPED_BAD_INPUT, "input buffer full");
        return;
    }
    ssize_t n = recv(c.fd, c.in + c.in_len, static_cast<size_t>(IN_BUF_SIZE - c.in_len), 0);
    if (n == 0) {  // a balancer's connect-only health check closes quietly
        drop(c, -1, c.state == CS_PROXY ? nullptr : "closed by the client");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            drop(c, -1, strerror(errno));
        return;
    }
    c.in_len += static_cast<int>(n);
    if (c.state == CS_PROXY)
        read_proxy_header(c);
    if (c.state == CS_NAME)
        read_name(c);
    if (c.state == CS_PLAY)
        read_frames(c);
}

// ---- Output ----

void server::write_out(conn &c)
{
    while (c.out.pending() > 0) {
        ssize_t n = send(c.fd, c.out.front(), c.out.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, -1, strerror(errno));
            break;
        }
        c.out.consume(static_cast<size_t>(n));
    }
    if (c.state == CS_FREE)
        return;
    bool want_out = c.out.pending() > 0;
    if (want_out != c.polling_out) {
        epoll_event ev{};
        ev.events = EPOLLIN | (want_out ? EPOLLOUT : 0u);
        ev.data.u64 = event_tag(index_of(c), c.gen);
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
        c.polling_out = want_out;
    }
}

void server::want_flush(conn &c)
{
    if (c.flush_pending || c.polling_out)
        return;
    c.flush_pending = true;
    flush_list_.emplace_back(index_of(c), c.gen);
}

void server::flush_all()
{
    for (size_t k = 0; k < flush_list_.size(); k++) {
        auto [index, gen] = flush_list_[k];
        conn &c = conns[static_cast<size_t>(index)];
        if (c.state == CS_FREE || c.gen != gen)
            continue;
        c.flush_pending = false;
        write_out(c);
    }
    flush_list_.clear();
}

void server::drop(conn &c, int reason, const char *why)
{
    if (c.state == CS_FREE)
        return;
    if (reason >= 0)
        stats.reasons[reason]++;
    if (why)
        log_event("connection %d dropped: %s (%s)", index_of(c), why, c.addr_text);
    close(c.fd);              // also leaves the epoll set
    if (c.state != CS_PROXY)  // a balancer's connection is counted once its header names the client
        limits_.release(c.addr);
    if (c.state == CS_PLAY && c.hg) {
        c.hg->conn[c.slot] = -1;
        c.hg->g.leave(c.slot);
        touch(c.hg);
    }
    c.state = CS_FREE;
    c.fd = -1;
    c.hg = nullptr;
    c.slot = -1;
    c.out.reset();
    c.flush_pending = c.polling_out = false;
    free_.push_back(index_of(c));
}

// ---- Games ----

void server::touch(hosted_game *hg)
{
    if (!hg->touched) {
        hg->touched = true;
        touched_.push_back(hg);
    }
}

// Hands the game's messages to its clients. A client whose queue is full is dropped,
// which the game hears as a player leaving (and may answer with messages of its own,
// taken in the same pass).
void server::deliver(hosted_game *hg)
{
    game &g = hg->g;
    for (size_t m = 0; m < g.out.msgs.size(); m++) {
        outbox::entry e = g.out.msgs[m];
        for (int s = 0; s < g.cfg.slots; s++) {
            int index = hg->conn[s];
            if (index < 0 || (e.slot != TO_ALL && e.slot != s))
                continue;
            conn &c = conns[static_cast<size_t>(index)];
            if (!c.out.push(g.out.data(e), static_cast<size_t>(e.len))) {
                drop(c, DROPPED_NOT_READING, "not reading (output queue full)");
                continue;
            }
            stats.messages_sent++;
            stats.bytes_sent += static_cast<uint64_t>(e.len);
            want_flush(c);
        }
    }
    g.out.clear();
}

void server::finish_turn()
{
    for (size_t k = 0; k < touched_.size(); k++)
        deliver(touched_[k]);
    for (hosted_game *hg : touched_) {
        hg->touched = false;
        if (hg->g.connected_count() == 0)
            close_game(hg);
    }
    touched_.clear();
    flush_all();
}

// ---- Records ----

void server::record_game(hosted_game *hg, bool abandoned)
{
    const game &g = hg->g;
    hg->recorded = true;
    game_record rec{};
    rec.started_ms = hg->started_ms;
    rec.ended_ms = unix_ms();
    rec.seed = g.cfg.seed;
    rec.rounds_played = g.round_no;
    rec.places = g.cfg.slots;
    rec.enemies = g.cfg.enemies;
    rec.room = hg->room;
    rec.abandoned = abandoned;
    for (int s = 0; s < g.cfg.slots; s++) {
        const car &c = g.cars[s];
        if (c.in_game)
            rec.players.push_back(player_record{c.name, s, c.score, c.flags_game, c.wins,
                                                c.connected && c.status != PS_RETIRED});
    }
    for (const round_note &r : g.rounds_played)
        rec.rounds.push_back(
            round_record{r.number, r.winner, r.winner >= 0 ? g.cars[r.winner].name : "", r.flags});
    uint64_t ticket = next_ticket_++;
    if (store_ && store_->submit(ticket, std::move(rec)))
        tickets_[ticket] = hg->id;
    else
        hg->g.record_done();  // nothing will come back: the result goes out now
}

// Games whose record is stored (or could not be) announce their final result.
void server::take_record_completions()
{
    if (!store_ || tickets_.empty())
        return;
    completions_.clear();
    store_->take_completions(completions_);
    for (auto [ticket, ok] : completions_) {
        auto it = tickets_.find(ticket);
        if (it == tickets_.end())
            continue;
        int id = it->second;
        tickets_.erase(it);
        for (const auto &hg : places.games)
            if (hg->id == id) {
                hg->g.record_done();
                touch(hg.get());
            }
    }
}

// A game whose players have all left: kept as abandoned when it was under way.
void server::close_game(hosted_game *hg)
{
    if (store_ && store_->keeps_records() && hg->started_ms != 0 && !hg->recorded &&
        hg->g.under_way())
        record_game(hg, true);
    places.close(hg);
}

void server::share_best_score()
{
    for (const auto &hg : places.games)
        if (hg->g.hiscore > places.best_score)
            places.best_score = hg->g.hiscore;
    for (const auto &hg : places.games)
        hg->g.raise_hiscore(places.best_score);
}

void server::step_all(long long lateness_us)
{
    long long t0 = now_us();
    steps++;
    for (const auto &hg : places.games) {
        game &g = hg->g;
        bool was_under_way = g.under_way();
        g.step();
        if (was_under_way != g.under_way()) {  // a game began, or went back to the lobby
            hg->started_ms = g.under_way() ? unix_ms() : 0;
            hg->recorded = false;
        }
        if (g.phase == PH_RECORDING && !hg->recorded)
            record_game(hg.get(), false);
        deliver(hg.get());
    }
    share_best_score();
    flush_all();
    stats.note_step(now_us() - t0, lateness_us);
}

// ---- Reports ----

void server::write_status_file() const
{
    const char *path = settings_.status_path;
    if (!path)
        return;
    char tmp[1024];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (!f)
        return;
    static char text[8192];
    for (const auto &hg : places.games) {
        int len = hg->g.describe(text, sizeof text);
        fwrite(text, 1, static_cast<size_t>(len), f);
        fprintf(f, "game %d room %s\n", hg->id, hg->room.empty() ? "-" : hg->room.c_str());
    }
    fclose(f);
    rename(tmp, path);
}

server_figures server::figures() const
{
    server_figures f{};
    f.started_ms = started_unix_ms_;
    f.taken_ms = unix_ms();
    for (const conn &c : conns) {
        f.connections += c.state != CS_FREE;
        f.checking_in += c.state == CS_NAME || c.state == CS_PROXY;
    }
    for (const auto &hg : places.games) {
        (hg->g.in_lobby() ? f.games_lobby : f.games_playing)++;
        f.watchers += hg->g.watcher_count();
        f.players += hg->g.connected_count() - hg->g.watcher_count();
    }
    for (int r = 0; r < REASON_COUNT; r++)
        f.refusals[reason_names[r]] = stats.reasons[r];
    f.connections_accepted = stats.connections_accepted;
    f.games_opened = static_cast<uint64_t>(places.opened());
    f.messages_sent = stats.messages_sent;
    f.bytes_sent = stats.bytes_sent;
    f.step_bucket_bounds.assign(step_bucket_bounds, step_bucket_bounds + STEP_BUCKETS);
    f.step_bucket_counts.assign(stats.step_buckets, stats.step_buckets + STEP_BUCKETS + 1);
    f.step_seconds_sum = stats.step_seconds_sum;
    f.step_count = stats.step_count;
    stats.step_percentiles(&f.step_p50_ms, &f.step_p99_ms);
    f.late_steps = stats.late_steps;
    f.store = store_ && store_->keeps_records();
    if (f.store) {
        f.records_written = store_->written();
        f.records_failed = store_->failed();
    }
    return f;
}

static game_view view_of(const hosted_game &hg, const std::vector<conn> &conns)
{
    const game &g = hg.g;
    game_view v{};
    v.id = hg.id;
    v.room = hg.room;
    v.phase = g.phase_name();
    v.round = g.round_no;
    v.rounds = g.cfg.rounds;
    v.places = g.cfg.slots;
    v.enemies = g.cfg.enemies;
    v.watchers = g.watcher_count();
    for (int i = 0; i < g.car_total(); i++) {
        const car &c = g.cars[i];
        if (!g.is_enemy(i) && !c.connected && !c.in_game)
            continue;
        int holder = g.is_enemy(i) ? -1 : hg.conn[i];
        v.cars.push_back(car_view{i, g.is_enemy(i), c.name, c.status, c.x, c.y, c.score, c.flags,
                                  c.flags_game, c.fuel, c.lives, c.wins, c.connected,
                                  holder >= 0 ? conns[static_cast<size_t>(holder)].addr_text : ""});
    }
    v.maze.resize(MAP_BYTES);
    for (int k = 0; k < MAP_BYTES; k++)
        v.maze[static_cast<size_t>(k)] = static_cast<char>('0' + g.field[k / MAP_W][k % MAP_W]);
    return v;
}

// A copy of what the status page shows, handed over to the page's thread. Games are
// listed oldest first.
void server::publish_snapshot()
{
    auto snap = std::make_shared<status_snapshot>();
    snap->figures = figures();
    snap->games.reserve(places.games.size());
    for (const auto &hg : places.games)
        snap->games.push_back(view_of(*hg, conns));
    std::sort(snap->games.begin(), snap->games.end(),
              [](const game_view &a, const game_view &b) { return a.id < b.id; });
    if (store_)
        snap->hall = store_->hall();
    board_->publish(std::move(snap));
}

void server::log_stats(long long now)
{
    // The same counts the status page shows, taken in one place.
    server_figures f = figures();
    stats_totals t{f.games_lobby, f.games_playing, f.players,
                   f.watchers,    f.connections,   f.checking_in};
    double seconds = static_cast<double>(now - stats_last_ms_) / 1000.0;
    if (store_ && store_->keeps_records()) {
        stats.records_written = store_->written();
        stats.records_failed = store_->failed();
    }
    log_line("%s", stats_line(stats, stats_before_, seconds, t, log_take_suppressed()).c_str());
    stats_before_ = stats;
    stats.step_us.clear();
    stats.late_us.clear();
    stats_before_.step_us.clear();
    stats_before_.late_us.clear();
    stats_last_ms_ = now;
}

void server::periodic(long long now)
{
    if (settings_.stats_seconds > 0 && now >= stats_due_ms_) {
        log_stats(now);
        stats_due_ms_ = now + settings_.stats_seconds * 1000LL;
    }
    if (now >= prune_due_ms_) {
        limits_.prune(now);
        prune_due_ms_ = now + PRUNE_PERIOD_MS;
    }
}

// ---- The loop ----

void server::quit_all()
{
    unsigned char quit[TAG_SIZE];
    put_be32(quit, TAG_QUIT);
    put_be32(quit + 4, TAG_SIZE);
    for (conn &c : conns) {
        if (c.state == CS_NAME || c.state == CS_PROXY)
            drop(c, -1, "server stopping");
        if (c.state == CS_PLAY && !c.out.push(quit, TAG_SIZE))
            drop(c, -1, "server stopping, queue full");
    }
    long long deadline = now_ms() + QUIT_FLUSH_MS;
    std::vector<pollfd> fds;
    std::vector<conn *> owner;
    for (;;) {
        fds.clear();
        owner.clear();
        for (conn &c : conns)
            if (c.state == CS_PLAY && c.out.pending() > 0) {
                fds.push_back(pollfd{c.fd, POLLOUT, 0});
                owner.push_back(&c);
            }
        long long left = deadline - now_ms();
        if (fds.empty() || left <= 0)
            break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (size_t k = 0; k < fds.size(); k++)
            if (fds[k].revents & (POLLOUT | POLLERR | POLLHUP))
                write_out(*owner[k]);
    }
    for (conn &c : conns)
        if (c.state != CS_FREE)
            drop(c, -1, "server stopped");
    finish_turn();
}

int server::run(int listen_fd)
{
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.u64 = LISTENER;
    if (epoll_fd_ < 0 || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd, &lev) != 0) {
        log_line("cannot watch the listening socket: %s", strerror(errno));
        return 1;
    }
    const long long period_us = 1000000 / TICK_HZ;
    long long next_step = now_us() + period_us;
    stats_last_ms_ = now_ms();
    stats_due_ms_ = stats_last_ms_ + settings_.stats_seconds * 1000LL;
    epoll_event events[EVENTS_MAX];
    int rc = 0;
    if (board_)
        publish_snapshot();
    while (!stop_requested) {
        long long wait_us = next_step - now_us();
        int timeout = wait_us <= 0 ? 0 : static_cast<int>((wait_us + 999) / 1000);
        int n = epoll_wait(epoll_fd_, events, EVENTS_MAX, timeout);
        if (n < 0 && errno != EINTR) {
            log_line("epoll_wait: %s", strerror(errno));
            rc = 1;
            break;
        }
        for (int k = 0; k < n; k++) {
            uint64_t tag = events[k].data.u64;
            if (tag == LISTENER) {
                accept_some(listen_fd);
                continue;
            }
            size_t index = static_cast<uint32_t>(tag);
            conn &c = conns[index];
            // The connection may have been dropped, and its entry reused, earlier in
            // this batch: the generation tells.
            if (c.state == CS_FREE || c.gen != static_cast<uint32_t>(tag >> 32))
                continue;
            if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                on_readable(c);
            if (c.state != CS_FREE && (events[k].events & EPOLLOUT))
                write_out(c);
        }
        long long now = now_ms();
        expire_checkins(now);
        take_record_completions();
        finish_turn();

        long long t = now_us();
        if (t >= next_step) {
            step_all(t - next_step);
            next_step += period_us;
            if (t - next_step > 5 * period_us)  // far behind (a stopped process): catch up at once
                next_step = t + period_us;
            if (steps % STATUS_FILE_STEPS == 0)
                write_status_file();
            if (board_ && steps % SNAPSHOT_STEPS == 0)
                publish_snapshot();
        }
        periodic(now);
    }
    write_status_file();
    quit_all();
    return rc;
}

int serve(int listen_fd, const game_config &base, const server_settings &settings,
          record_store *store, snapshot_board *board)
{
    server s(base, settings, store, board);
    return s.run(listen_fd);
}
