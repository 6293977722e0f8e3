// Rooms across the fleet. A player who names a room this process does not hold waits
// while the room directory says who holds it; a room nobody holds becomes this
// process's. A room another process holds: this process connects there, sends a PROXY
// header with the player's own address and typed name, and from then on relays bytes
// both ways without reading them, through two bounded queues. Whatever goes wrong
// before the other process has answered (no answer from the directory, the connection
// refused or too slow), the player plays the room here instead.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connection_options.h"
#include "log.h"
#include "net/clock.h"
#include "net/connections.h"
#include "web/status_http.h"

bool parse_host_port(const std::string &text, sockaddr_storage &out)
{
    std::string host;
    int port = 0;
    if (text.size() > FLEET_ADDRESS_MAX || !parse_http_address(text, host, port))
        return false;
    out = sockaddr_storage{};
    auto &v4 = reinterpret_cast<sockaddr_in &>(out);
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(out);
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
    } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
    } else {
        return false;
    }
    return true;
}

// The room may be another process's: asks the directory, and the player waits.
bool game_server::ask_fleet(conn &c, const char *typed, const std::string &room)
{
    if (!fleet_ || c.handed_over || room.empty() || places.has_room(room))
        return false;
    uint64_t ticket = next_ask_++;
    if (!fleet_->ask(ticket, room)) {
        stats.fleet_played_here++;
        return false;
    }
    asks_[ticket] = {index_of(c), c.gen};
    c.state = CS_ROOM;
    c.typed = typed;
    c.deadline_ms = monotonic_ms() + FLEET_WAIT_MS;
    fleet_waits_.push_back(fleet_wait{index_of(c), c.gen, c.deadline_ms});
    return true;
}

void game_server::take_room_answers()
{
    answers_.clear();
    fleet_->take_answers(answers_);
    for (const room_answer &a : answers_) {
        auto it = asks_.find(a.ticket);
        if (it == asks_.end())
            continue;
        auto [index, gen] = it->second;
        asks_.erase(it);
        conn &c = conns[static_cast<size_t>(index)];
        if (c.state != CS_ROOM || c.gen != gen)
            continue;  // gone, or played here after waiting too long
        if (a.where == ROOM_THERE && a.owner != fleet_->self())
            hand_over(c, a.owner);
        else
            play_here(c, a.where == ROOM_HERE, false);
    }
}

// The player plays the room here after all. The room is claimed for this process,
// taken over from a holder that refused the connection (its port is closed: it is gone).
void game_server::play_here(conn &c, bool claimed, bool owner_gone)
{
    if (c.peer_fd >= 0) {
        close(c.peer_fd);
        c.peer_fd = -1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = event_tag(index_of(c), c.gen);
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
        c.polling_out = false;
        c.up.reset();
        c.out.limit = static_cast<size_t>(settings_.out_queue_bytes);
    }
    std::string typed = std::move(c.typed), owner = std::move(c.owner);
    c.typed.clear();
    c.owner.clear();
    c.state = CS_NAME;
    std::string name, room;
    split_room(typed.c_str(), name, room);
    if (owner_gone)
        fleet_->take_over(room, owner);
    place_player(c, typed.c_str(), claimed || owner_gone);
}

void game_server::expire_fleet_waits(long long now)
{
    while (!fleet_waits_.empty() && fleet_waits_.front().deadline_ms <= now) {
        fleet_wait w = fleet_waits_.front();
        fleet_waits_.pop_front();
        conn &c = conns[static_cast<size_t>(w.index)];
        bool waiting = c.state == CS_ROOM || (c.state == CS_RELAY && !c.peer_connected);
        if (c.gen != w.gen || !waiting || now < c.deadline_ms)
            continue;
        stats.fleet_played_here++;
        log_.event("room of connection %d: no answer from the %s in time, played here", w.index,
                   c.state == CS_ROOM ? "room directory" : "room's server");
        play_here(c, false, false);
    }
}

namespace {

// Starts a connection to another process of the fleet from this process's own address
// (the one the others trust), with a game connection's options and a small receive
// buffer; -1 (errno set) on failure.
int connect_from(const sockaddr_storage &self, const sockaddr_storage &to)
{
    int fd = socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rcvbuf = RELAY_BUF_SIZE;
    set_game_connection_options(fd);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_storage from = self;
    reinterpret_cast<sockaddr_in &>(from).sin_port = 0;  // same place in both families
    socklen_t len = to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if ((from.ss_family == to.ss_family &&
         bind(fd, reinterpret_cast<sockaddr *>(&from), len) != 0) ||
        (connect(fd, reinterpret_cast<const sockaddr *>(&to), len) != 0 && errno != EINPROGRESS)) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

// Connects to the room's process; the PROXY header and whatever the player sent after
// its name wait in the queue towards it.
void game_server::hand_over(conn &c, const std::string &owner)
{
    sockaddr_storage to{};
    unsigned char head[PROXY_HEADER_MAX];
    size_t head_len =
        parse_host_port(owner, to) ? write_proxy_v2(c.peer, to, c.typed, head, sizeof head) : 0;
    int fd = head_len ? connect_from(fleet_self_, to) : -1;
    if (fd < 0) {
        log_.event("room of connection %d: cannot connect to %s: %s", index_of(c), owner.c_str(),
                   strerror(errno));
        stats.fleet_played_here++;
        play_here(c, false, false);
        return;
    }
    c.up.reset();
    c.up.limit = RELAY_BUF_SIZE;
    c.up.push(head, head_len);
    c.up.push(c.in, static_cast<size_t>(c.in_len));
    c.in_len = 0;
    c.out.limit = RELAY_BUF_SIZE;
    c.owner = owner;
    c.peer_fd = fd;
    c.peer_connected = false;
    c.state = CS_RELAY;
    c.ev_mine = EPOLLIN | (c.polling_out ? EPOLLOUT : 0u);
    c.ev_peer = EPOLLOUT;  // the connection's outcome
    epoll_event ev{};
    ev.events = c.ev_peer;
    ev.data.u64 = event_tag(index_of(c), c.gen) | PEER_EVENT_BIT;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
    c.deadline_ms = monotonic_ms() + FLEET_WAIT_MS;
    fleet_waits_.push_back(fleet_wait{index_of(c), c.gen, c.deadline_ms});
}

void game_server::relay_connected(conn &c)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c.peer_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err == EINPROGRESS)
        return;
    if (err != 0) {
        log_.event("room of connection %d: %s refused: %s, played here", index_of(c),
                   c.owner.c_str(), strerror(err));
        stats.fleet_played_here++;
        play_here(c, false, err == ECONNREFUSED);
        return;
    }
    c.peer_connected = true;
    c.typed.clear();
    stats.handed_over++;
    log_.event("connection %d handed over to %s (%s)", index_of(c), c.owner.c_str(), c.addr_text);
    relay_send(c, true);
}

namespace {

// Bytes a relay queue takes now (its bound counts what the kernel has not yet taken).
size_t room_in(const out_queue &q)
{
    size_t used = q.since_taken > q.pending() ? q.since_taken : q.pending();
    return q.limit > used ? q.limit - used : 0;
}

}  // namespace

// Moves what one side sent into the queue towards the other, and sends it on.
void game_server::relay_read(conn &c, bool from_peer, uint32_t events)
{
    out_queue &q = from_peer ? c.out : c.up;
    size_t room = room_in(q);
    unsigned char buf[16 * 1024];
    if (room == 0) {  // that way is full: the side is not read until the queue drains
        if (events & (EPOLLHUP | EPOLLERR))
            drop(c, -1, from_peer ? "the room's server went away" : "closed by the client");
        return;
    }
    ssize_t n = recv(from_peer ? c.peer_fd : c.fd, buf, room < sizeof buf ? room : sizeof buf, 0);
    if (n > 0) {
        if (!q.push(buf, static_cast<size_t>(n))) {  // never, with the room above
            drop(c, DROPPED_NOT_READING, "relay queue full");
            return;
        }
        relay_send(c, !from_peer);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (from_peer)
        relay_send(c, false);  // the other process's last words (a goodbye) go out first
    if (c.state == CS_RELAY)
        drop(c, -1,
             n == 0 ? (from_peer ? "closed by the room's server" : "closed by the client")
                    : strerror(errno));
}

void game_server::relay_send(conn &c, bool to_peer)
{
    out_queue &q = to_peer ? c.up : c.out;
    if (to_peer && !c.peer_connected)
        return;
    while (q.pending() > 0) {
        ssize_t n =
            send(to_peer ? c.peer_fd : c.fd, q.front(), q.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, -1, strerror(errno));
            return;
        }
        q.consume(static_cast<size_t>(n));
    }
}

// What epoll watches on each side: a side is read while the queue it fills has room,
// and written while the queue towards it holds bytes.
void game_server::relay_watch(conn &c)
{
    if (c.state != CS_RELAY)
        return;
    uint32_t mine = (room_in(c.up) > 0 ? EPOLLIN : 0u) | (c.out.pending() > 0 ? EPOLLOUT : 0u);
    uint32_t peer = !c.peer_connected ? EPOLLOUT
                                      : (room_in(c.out) > 0 ? EPOLLIN : 0u) |
                                            (c.up.pending() > 0 ? EPOLLOUT : 0u);
    epoll_event ev{};
    if (mine != c.ev_mine) {
        ev.events = mine;
        ev.data.u64 = event_tag(index_of(c), c.gen);
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
        c.ev_mine = mine;
    }
    if (peer != c.ev_peer) {
        ev.events = peer;
        ev.data.u64 = event_tag(index_of(c), c.gen) | PEER_EVENT_BIT;
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.peer_fd, &ev);
        c.ev_peer = peer;
    }
}

void game_server::relay_event(conn &c, bool peer, uint32_t events)
{
    if (c.state != CS_RELAY)
        return;  // a stale event of a relay that has ended
    if (peer && !c.peer_connected) {
        relay_connected(c);
    } else {
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            relay_read(c, peer, events);
        if (c.state == CS_RELAY && (events & EPOLLOUT))
            relay_send(c, peer);
    }
    relay_watch(c);
}
