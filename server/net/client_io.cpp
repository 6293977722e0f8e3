// A playing client's bytes: key frames in within the key-frame bucket, the queue out
// (one send per turn, EPOLLOUT while the kernel holds unsent bytes), and dropping a
// client, which the game hears as a leave.
#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/clock.h"
#include "net/connections.h"

// The key-frame bucket: KEY_FRAMES_PER_SECOND frames of credit a second, at most
// KEY_FRAMES_BURST; false when no whole frame is left.
static bool take_key_credit(conn &c, long long now_ms)
{
    constexpr long long full = KEY_FRAMES_BURST * 1000LL;
    long long gained = (now_ms - c.keys_ms) * KEY_FRAMES_PER_SECOND;
    c.key_credit = gained >= full - c.key_credit ? full : c.key_credit + gained;
    c.keys_ms = now_ms;
    if (c.key_credit < 1000)
        return false;
    c.key_credit -= 1000;
    return true;
}

void game_server::read_frames(conn &c)
{
    long long now = monotonic_ms();
    int used = 0;
    while ((c.state == CS_PLAY || c.state == CS_VIEW) && c.in_len - used >= TAG_SIZE) {
        int32_t tag = get_be32(c.in + used);
        int32_t size = get_be32(c.in + used + 4);
        if (tag != TAG_KEYS || size != KEYS_MSG_SIZE) {
            drop(c, DROPPED_BAD_INPUT, "bad frame");
            return;
        }
        if (c.in_len - used < KEYS_MSG_SIZE)
            break;
        if (!take_key_credit(c, now)) {
            drop(c, DROPPED_FLOODING, "too many key frames");
            return;
        }
        if (c.hg)  // a viewer's keys change nothing
            c.hg->g.keys(c.slot, get_be32(c.in + used + TAG_SIZE));
        used += KEYS_MSG_SIZE;
    }
    if (used > 0)
        c.active_ms = now;
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
        bool quiet = c.state == CS_PROXY || c.state == CS_QUIT;
        drop(c, -1, quiet ? nullptr : "closed by the client");
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
    if (c.state == CS_PLAY || c.state == CS_VIEW)
        read_frames(c);
    if (c.state == CS_QUIT)
        c.in_len = 0;
}

// ---- Output ----

// True while the kernel should be handed nothing more for this player: it still holds
// unsent bytes (the link is slower than the game, or stalled), or it holds bytes and none
// has been acknowledged for LINK_STALL_MS (the link is stalled: sending more would only
// add to what must be retransmitted, and would put off TCP's next retransmission).
static bool kernel_busy(conn &c, long long now_ms)
{
    int queued = 0, unsent = 0;  // nothing queued holds nothing unsent: one call spared
    if (ioctl(c.fd, SIOCOUTQ, &queued) != 0 ||
        (queued > 0 && ioctl(c.fd, SIOCOUTQNSD, &unsent) != 0))
        return c.stalled = false;
    uint64_t acked = c.handed - static_cast<uint64_t>(queued);
    if (queued == 0 || acked != c.acked) {
        c.acked = acked;
        c.progress_ms = now_ms;
    }
    c.stalled = queued > 0 && now_ms - c.progress_ms > LINK_STALL_MS;
    return unsent > 0 || c.stalled;
}

// While the kernel is busy, what waits stays in the queue, where a newer position
// replaces an older one. EPOLLOUT comes once the kernel has sent everything
// (PLAYER_NOTSENT_LOWAT); a stalled link is looked at again every step.
void game_server::write_out(conn &c)
{
    bool hold = c.paced && c.out.pending() > 0 && kernel_busy(c, monotonic_ms());
    while (!hold && c.out.pending() > 0) {
        ssize_t n = send(c.fd, c.out.front(), c.out.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, -1, strerror(errno));
            break;
        }
        c.out.consume(static_cast<size_t>(n));
        c.handed += static_cast<uint64_t>(n);
    }
    if (c.state == CS_FREE)
        return;
    if (c.state == CS_RELAY) {  // a relay keeps its own account of what epoll watches
        relay_watch(c);
        return;
    }
    bool want_out = c.out.pending() > 0 && !(hold && c.stalled);
    if (hold && c.stalled)
        stalled_.emplace_back(index_of(c), c.gen);
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
        log_.event("connection %d dropped: %s (%s)", index_of(c), why, c.addr_text);
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
    if (c.view)
        c.view->conn = -1;  // taken away at the next step
    c.view = nullptr;
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
