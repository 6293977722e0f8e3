// A playing client's bytes: key frames in, the queue out (one send per turn, EPOLLOUT
// while the kernel buffer is full), and dropping a client, which the game hears as a leave.
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "net/connections.h"

void game_server::read_frames(conn &c)
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

void game_server::on_readable(conn &c)
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

void game_server::write_out(conn &c)
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
    if (c.state == CS_RELAY) {  // a relay keeps its own account of what epoll watches
        relay_watch(c);
        return;
    }
    bool want_out = c.out.pending() > 0;
    if (want_out != c.polling_out) {
        epoll_event ev{};
        ev.events = EPOLLIN | (want_out ? EPOLLOUT : 0u);
        ev.data.u64 = event_tag(index_of(c), c.gen);
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
        c.polling_out = want_out;
    }
}

void game_server::want_flush(conn &c)
{
    if (c.flush_pending || c.polling_out)
        return;
    c.flush_pending = true;
    flush_list_.emplace_back(index_of(c), c.gen);
}

void game_server::flush_all()
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

void game_server::drop(conn &c, int reason, const char *why)
{
    if (c.state == CS_FREE)
        return;
    if (reason >= 0)
        stats.reasons[reason]++;
    if (why)
        log_event("connection %d dropped: %s (%s)", index_of(c), why, c.addr_text);
    close(c.fd);  // also leaves the epoll set
    if (c.peer_fd >= 0)
        close(c.peer_fd);
    if (c.state != CS_PROXY)  // a balancer's connection is counted once its header names the client
        limits_.release(c.addr);
    if (c.state == CS_PLAY && c.hg) {
        c.hg->conn[c.slot] = -1;
        c.hg->g.leave(c.slot);
        touch(c.hg);
    }
    c.state = CS_FREE;
    c.fd = c.peer_fd = -1;
    c.hg = nullptr;
    c.slot = -1;
    c.out.reset();
    c.up.reset();
    c.typed.clear();
    c.owner.clear();
    c.flush_pending = c.polling_out = false;
    free_.push_back(index_of(c));
}
