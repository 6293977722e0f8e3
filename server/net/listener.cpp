// The listening socket and accepting within the limits: per-address counts and the
// connect rate, the connection table (evicting the oldest unfinished check-in when full),
// the cap on games, descriptors or kernel memory running out.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connection_options.h"
#include "log.h"
#include "net/clock.h"
#include "net/connections.h"

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

// ---- Accepting, within the limits ----

void game_server::refuse(int fd, int reason, const char *addr_text)
{
    close(fd);
    stats.reasons[reason]++;
    log_.event("refused a connection from %s: %s", addr_text, reason_names[reason]);
}

// The listener in the epoll set or out of it; false when epoll refuses.
bool game_server::watch_listener(bool on)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = LISTENER_EVENT;
    return epoll_ctl(epoll_fd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listen_fd_, &ev) == 0;
}

// accept() failed: true when the next connection may be tried at once. Out of
// descriptors, the spare one takes the connection and closes it, so the listening socket
// does not stay readable for ever; when that cannot be done, or the kernel is short of
// memory, the listener rests for ACCEPT_PAUSE_MS instead of the loop spinning on it.
bool game_server::accept_failed()
{
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK)
        return false;
    if (err == EINTR || err == ECONNABORTED || err == EPROTO)
        return true;  // that connection is gone; the next may be fine
    if ((err == EMFILE || err == ENFILE) && spare_fd_ >= 0) {
        close(spare_fd_);
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd >= 0)
            refuse(fd, REFUSED_FULL, "?");
        spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            return true;
    }
    stats.accept_pauses++;
    log_.event("accept: %s; not accepting for %d ms", strerror(err), ACCEPT_PAUSE_MS);
    watch_listener(false);
    listener_back_ms_ = monotonic_ms() + ACCEPT_PAUSE_MS;
    if (spare_fd_ < 0)
        spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return false;
}

void game_server::accept_some()
{
    for (int k = 0; k < ACCEPTS_PER_TURN; k++) {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            admit(fd, sa);
        else if (!accept_failed())
            return;
    }
}

bool game_server::evict_oldest_checkin()
{
    while (!checkins_.empty()) {
        auto [index, gen] = checkins_.front();
        checkins_.pop_front();
        conn &c = conns[static_cast<size_t>(index)];
        if (on_deadline(c.state) && c.gen == gen) {
            drop(c, DROPPED_EVICTED, "made room for a newcomer");
            return true;
        }
    }
    return false;
}

// Tells a newcomer that every game is running and full; true when it was turned away.
bool game_server::turn_away_if_no_game(int fd)
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

// A vanished player is dropped; a message leaves when it is written, and waits in the
// queue while the kernel still holds unsent bytes. True when that waiting is in force.
static bool set_player_socket_options(int fd, sa_family_t family, const server_settings &settings)
{
    int sndbuf = settings.socket_sndbuf;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    if (family != AF_INET && family != AF_INET6)
        return false;
    if (settings.bench_nagle) {
        enable_dead_peer_detection(fd);
        return false;
    }
    set_game_connection_options(fd);
    return setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &PLAYER_NOTSENT_LOWAT,
                      sizeof PLAYER_NOTSENT_LOWAT) == 0;
}

// A connection from a trusted balancer is neither limited nor greeted here: its PROXY
// header names the client, and the client's address is what the limits count.
void game_server::admit(int fd, const sockaddr_storage &sa)
{
    char addr_text[sizeof conn{}.addr_text];
    format_address(sa, addr_text, sizeof addr_text);
    bool proxied = proxy_trusted(settings_.proxy_from, sa);
    addr_key key = address_key(sa);
    if (!proxied) {
        admit_verdict verdict = limits_.admit(key, monotonic_ms());
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
    c.deadline_ms = monotonic_ms() + settings_.checkin_ms;
    c.hg = nullptr;
    c.slot = -1;
    c.in_len = 0;
    c.peer = sa;
    c.handed_over = c.peer_connected = false;
    c.out.reset();
    c.out.limit = static_cast<size_t>(settings_.out_queue_bytes);
    c.flush_pending = c.polling_out = false;
    c.keys_ms = monotonic_ms();
    c.key_credit = KEY_FRAMES_BURST * 1000LL;
    c.paced = set_player_socket_options(fd, sa.ss_family, settings_);
    c.stalled = false;
    c.handed = c.acked = 0;
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
