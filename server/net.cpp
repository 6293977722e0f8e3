// Connections and the event loop. A connection greets, reads the name, answers with
// entry number, number of players and a second text, then carries framed messages:
// the game's from the outbox out, 12-byte key states in. Anything else from a client
// (a bad frame, a stalled check-in, a full output queue) drops that client alone.
#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "game.h"
#include "net/dead_peer.h"
#include "outbox.h"

conn conns[CONN_MAX];
volatile sig_atomic_t stop_requested;

static long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static bool set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int open_listener(const char *addr, int port, int *bound_port)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
        fprintf(stderr, "mazecar-server: %s is not an IPv4 address\n", addr);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("mazecar-server: socket");
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0 ||
        !set_nonblocking(fd)) {
        fprintf(stderr, "mazecar-server: cannot listen on %s:%d: %s\n", addr, port,
                strerror(errno));
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (bound_port)
        *bound_port = ntohs(sa.sin_port);
    return fd;
}

bool queue_bytes(conn &c, const void *bytes, int len)
{
    if (len < 0 || len > OUT_BUF_SIZE - c.out_len)
        return false;
    const unsigned char *src = static_cast<const unsigned char *>(bytes);
    int end = (c.out_start + c.out_len) % OUT_BUF_SIZE;
    int first = len < OUT_BUF_SIZE - end ? len : OUT_BUF_SIZE - end;
    memcpy(c.out + end, src, static_cast<size_t>(first));
    memcpy(c.out, src + first, static_cast<size_t>(len - first));
    c.out_len += len;
    return true;
}

static void drop(conn &c, const char *why)
{
    if (c.state == CS_FREE)
        return;
    printf("mazecar-server: connection %d dropped: %s\n", static_cast<int>(&c - conns), why);
    fflush(stdout);
    close(c.fd);
    int slot = c.slot;
    bool playing = c.state == CS_PLAY;
    c.state = CS_FREE;
    c.fd = -1;
    if (playing)
        game_leave(slot);
}

static bool queue_word(conn &c, int32_t value)
{
    unsigned char w[4];
    put_be32(w, value);
    return queue_bytes(c, w, 4);
}

static bool queue_text(conn &c, const char *text)
{
    int len = static_cast<int>(strlen(text)) + 1;  // the NUL travels too
    return queue_word(c, len) && queue_bytes(c, text, len);
}

static void greet(conn &c)
{
    char text[1024];
    if (c.slot < 0) {
        snprintf(text, sizeof text,
                 "Mazecar server: all %d player places are taken, try again later.\n"
                 "Your name: ",
                 cfg.slots);
    } else {
        snprintf(text, sizeof text,
                 "Welcome to Mazecar! Up to %d players, %d enemy cars, %d rounds.\n"
                 "Take every flag in the maze: plain flags 100 points, \"L\" 200 and a spare car,\n"
                 "\"S\" 200 and a full tank. Enemy cars and rocks burst your car; fuel drains.\n"
                 "Keys in the lobby: SPACE checks in, S switches car control CLASSIC/MODERN.\n"
                 "  MODERN: the arrow you press is where the car goes.\n"
                 "  CLASSIC: UP drives, LEFT/RIGHT turn at the next crossing, DOWN turns round.\n"
                 "Keys in play: SPACE lays smoke (costs fuel, stops enemies), Q pauses.\n"
                 "Your name: ",
                 cfg.slots, cfg.enemies, cfg.rounds);
    }
    queue_text(c, text);
}

// The name message is complete: answer it, or turn the client away.
static void finish_check_in(conn &c, int name_len)
{
    if (c.slot < 0) {
        drop(c, "server full");
        return;
    }
    char name[NAME_IN_MAX + 1];
    memcpy(name, c.in + 4, static_cast<size_t>(name_len));
    name[name_len] = '\0';
    c.in_len -= 4 + name_len;
    memmove(c.in, c.in + 4 + name_len, static_cast<size_t>(c.in_len));

    char text[512];
    snprintf(text, sizeof text,
             "You are player %d of %d. Press SPACE in the game window to check in;\n"
             "a player who does not check in watches the game.\n",
             c.slot + 1, cfg.slots);
    if (!queue_word(c, c.slot) || !queue_word(c, cfg.slots) || !queue_text(c, text)) {
        drop(c, "output queue full during check-in");
        return;
    }
    c.state = CS_PLAY;
    game_join(c.slot, name);
}

static void read_name(conn &c)
{
    if (c.in_len < 4)
        return;
    int32_t len = get_be32(c.in);
    if (len < 1 || len > NAME_IN_MAX) {
        drop(c, "name length out of range");
        return;
    }
    if (c.in_len >= 4 + len)
        finish_check_in(c, len);
}

static void read_frames(conn &c)
{
    int used = 0;
    while (c.state == CS_PLAY && c.in_len - used >= TAG_SIZE) {
        int32_t tag = get_be32(c.in + used);
        int32_t size = get_be32(c.in + used + 4);
        if (tag != TAG_KEYS || size != KEYS_MSG_SIZE) {
            drop(c, "bad frame");
            return;
        }
        if (c.in_len - used < KEYS_MSG_SIZE)
            break;
        game_keys(c.slot, get_be32(c.in + used + TAG_SIZE));
        used += KEYS_MSG_SIZE;
    }
    c.in_len -= used;
    memmove(c.in, c.in + used, static_cast<size_t>(c.in_len));
}

static void on_readable(conn &c)
{
    ssize_t n = recv(c.fd, c.in + c.in_len, static_cast<size_t>(IN_BUF_SIZE - c.in_len), 0);
    if (n == 0) {
        drop(c, "closed by the client");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            drop(c, strerror(errno));
        return;
    }
    c.in_len += static_cast<int>(n);
    if (c.state == CS_NAME)
        read_name(c);
    if (c.state == CS_PLAY)
        read_frames(c);
}

static void on_writable(conn &c)
{
    while (c.out_len > 0) {
        int chunk = c.out_len < OUT_BUF_SIZE - c.out_start ? c.out_len : OUT_BUF_SIZE - c.out_start;
        ssize_t n = send(c.fd, c.out + c.out_start, static_cast<size_t>(chunk),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, strerror(errno));
            return;
        }
        c.out_start = (c.out_start + static_cast<int>(n)) % OUT_BUF_SIZE;
        c.out_len -= static_cast<int>(n);
    }
    c.out_start = 0;
}

static int free_slot()
{
    for (int s = 0; s < cfg.slots; s++) {
        if (!game_slot_free(s))
            continue;
        bool taken = false;
        for (const conn &c : conns)
            taken = taken || (c.state != CS_FREE && c.slot == s);
        if (!taken)
            return s;
    }
    return -1;
}

static void accept_all(int listen_fd, int checkin_ms)
{
    for (;;) {
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0)
            return;
        enable_dead_peer_detection(fd);
        conn *c = nullptr;
        for (conn &k : conns)
            if (k.state == CS_FREE) {
                c = &k;
                break;
            }
        if (!c || !set_nonblocking(fd)) {
            close(fd);
            continue;
        }
        int sndbuf = SOCKET_SNDBUF;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        c->slot = free_slot();
        c->state = CS_NAME;
        c->fd = fd;
        c->deadline_ms = now_ms() + checkin_ms;
        c->in_len = c->out_start = c->out_len = 0;
        greet(*c);
    }
}

// Hands the game's messages to their clients.
static void deliver_outbox()
{
    for (int m = 0; m < outbox_count; m++) {
        const out_msg &msg = outbox[m];
        for (conn &c : conns) {
            if (c.state != CS_PLAY || (msg.slot != TO_ALL && msg.slot != c.slot))
                continue;
            if (!queue_bytes(c, msg.bytes, msg.len))
                drop(c, "not reading (output queue full)");
        }
    }
    outbox_clear();
}

static void write_status_file(const char *path)
{
    if (!path)
        return;
    static char text[4096];
    int len = game_describe(text, sizeof text);
    char tmp[1024];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (!f)
        return;
    fwrite(text, 1, static_cast<size_t>(len), f);
    fclose(f);
    rename(tmp, path);
}

static void send_quit_to_all()
{
    unsigned char quit[TAG_SIZE];
    put_be32(quit, TAG_QUIT);
    put_be32(quit + 4, TAG_SIZE);
    for (conn &c : conns) {
        if (c.state == CS_NAME)
            drop(c, "server stopping");
        if (c.state == CS_PLAY && !queue_bytes(c, quit, TAG_SIZE))
            drop(c, "server stopping, queue full");
    }
    long long deadline = now_ms() + QUIT_FLUSH_MS;
    for (;;) {
        pollfd fds[CONN_MAX];
        conn *owner[CONN_MAX];
        int n = 0;
        for (conn &c : conns)
            if (c.state == CS_PLAY && c.out_len > 0) {
                fds[n] = pollfd{c.fd, POLLOUT, 0};
                owner[n++] = &c;
            }
        long long left = deadline - now_ms();
        if (n == 0 || left <= 0)
            break;
        if (poll(fds, static_cast<nfds_t>(n), static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < n; k++)
            if (fds[k].revents & (POLLOUT | POLLERR | POLLHUP))
                on_writable(*owner[k]);
    }
    for (conn &c : conns)
        if (c.state != CS_FREE) {
            close(c.fd);
            c.state = CS_FREE;
        }
}

int serve(int listen_fd, const net_settings &settings)
{
    for (conn &c : conns) {
        c.state = CS_FREE;
        c.fd = -1;
    }
    const long long period_us = 1000000 / TICK_HZ;
    long long next_tick = now_us() + period_us;
    long ticks = 0;
    while (!stop_requested) {
        pollfd fds[CONN_MAX + 1];
        conn *owner[CONN_MAX + 1];
        int n = 0;
        fds[n] = pollfd{listen_fd, POLLIN, 0};
        owner[n++] = nullptr;
        for (conn &c : conns)
            if (c.state != CS_FREE) {
                fds[n] =
                    pollfd{c.fd, static_cast<short>(POLLIN | (c.out_len > 0 ? POLLOUT : 0)), 0};
                owner[n++] = &c;
            }
        long long wait = (next_tick - now_us()) / 1000;
        int timeout = wait < 0 ? 0 : static_cast<int>(wait);
        if (poll(fds, static_cast<nfds_t>(n), timeout) < 0 && errno != EINTR) {
            perror("mazecar-server: poll");
            break;
        }
        for (int k = 1; k < n; k++) {
            conn &c = *owner[k];
            // A slot may have been freed and reused by an earlier drop this round.
            if (c.state == CS_FREE || c.fd != fds[k].fd)
                continue;
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR))
                on_readable(c);
            if (c.state != CS_FREE && (fds[k].revents & POLLOUT))
                on_writable(c);
        }
        if (fds[0].revents & POLLIN)
            accept_all(listen_fd, settings.checkin_ms);
        long long now = now_ms();
        for (conn &c : conns)
            if (c.state == CS_NAME && now > c.deadline_ms)
                drop(c, "check-in timed out");
        deliver_outbox();

        long long t = now_us();
        if (t >= next_tick) {
            game_tick();
            deliver_outbox();
            next_tick += period_us;
            if (t - next_tick > 5 * period_us)  // far behind (a stopped process): catch up at once
                next_tick = t + period_us;
            if (++ticks % 10 == 0)
                write_status_file(settings.status_path);
        }
    }
    write_status_file(settings.status_path);
    send_quit_to_all();
    return 0;
}
