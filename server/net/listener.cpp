// The listening socket and accepting within the limits: per-address counts and the
// connect rate, the connection table (evicting the oldest unfinished check-in when full),
// the cap on games, descriptors running out.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
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
    log_event("refused a connection from %s: %s", addr_text, reason_names[reason]);
}

void game_server::accept_some(int listen_fd)
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

bool game_server::evict_oldest_checkin()
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
