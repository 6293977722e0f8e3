// Framing and dispatch. After the check-in every byte on the connection belongs to
// a frame: tag word, size word (whole message, header included), payload. The tick
// takes at most one complete frame per call and hands it to its tag's handler.
#include "net/framing.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "startup/shutdown.h"

int sock = -1;
unsigned char recv_buf[NET_BUF_SIZE];
unsigned char send_buf[NET_BUF_SIZE];
int recv_len;
message_handler tag_handlers[TAG_COUNT];

// clang-format off
const char *const tag_names[TAG_COUNT] = {
    "TAG_KEYS",         "TAG_PLAYERINFO", "TAG_PLAYERINFO2", "TAG_ROUNDINFO",
    "TAG_MAP",          "TAG_SMOKE",      "TAG_HISCORE",     "TAG_LOBBY",
    "TAG_READY",        "TAG_START",      "TAG_STAGE_CLEAR", "TAG_ROUND_RESULT",
    "TAG_FINAL_RESULT", "TAG_LIVE",       "TAG_GAME_OVER",   "TAG_QUIT",
    "TAG_PAUSE",
};
// clang-format on

static const char *tag_name(int32_t tag)
{
    return tag >= 0 && tag < TAG_COUNT ? tag_names[tag] : "unknown tag";
}

void recv_exact(unsigned char *buf, int len, const char *what)
{
    int got = 0;
    while (got < len) {
        ssize_t n = recv(sock, buf + got, static_cast<size_t>(len - got), 0);
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            fatal_error("lost server connection: closed after %d of the %d bytes of %s", got, len,
                        what);
        fatal_error("lost server connection while reading %s: %s", what, strerror(errno));
    }
}

// Bytes waiting on the socket; -1 when the query fails.
static int bytes_waiting()
{
    int waiting = 0;
    if (ioctl(sock, FIONREAD, &waiting) < 0)
        return -1;
    return waiting;
}

// The words for a connection's failure. ETIMEDOUT: the keep-alive probes or the user
// time-out found the server gone.
static const char *loss_reason(int err)
{
    return err == ETIMEDOUT ? "timed out" : strerror(err);
}

// The reason a failed connection gives, from the socket's pending error.
static const char *connection_error()
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
        return "socket error";
    return loss_reason(err);
}

// Called whenever no whole message is waiting: ends the process if the connection is
// gone, so a dead server never leaves a frozen screen behind. needed is the size of
// the frame whose first waiting bytes have arrived (0 while its header is incomplete).
// A live connection that is merely quiet or slow returns at once.
static void check_connection_alive(int waiting, int32_t needed)
{
    pollfd p{sock, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0)
        return;
    if (p.revents & POLLNVAL)
        fatal_error("lost server connection: socket error");
    if (p.revents & POLLERR)
        fatal_error("lost server connection: %s", connection_error());
    if (p.revents & (POLLHUP | POLLRDHUP)) {
        if (needed > 0)
            fatal_error("lost server connection: closed after %d of the %d bytes of a message",
                        waiting, needed);
        if (waiting > 0)
            fatal_error("lost server connection: closed after %d bytes of a frame header", waiting);
        fatal_error("lost server connection: closed by the server");
    }
    if ((p.revents & POLLIN) && waiting == 0) {
        unsigned char probe;
        ssize_t n = recv(sock, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0)
            fatal_error("lost server connection: closed by the server");
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fatal_error("lost server connection: %s", loss_reason(errno));
    }
}

// Bytes of an oversized frame still to be read away.
static int64_t skip_left;

void reset_framing()
{
    skip_left = 0;
}

// Reads away the waiting bytes of an oversized frame, through recv_buf in pieces,
// never more than have arrived; true once the whole frame is gone.
static bool skip_waiting(int waiting)
{
    while (skip_left > 0 && waiting > 0) {
        int piece = waiting < NET_BUF_SIZE ? waiting : NET_BUF_SIZE;
        if (skip_left < piece)
            piece = static_cast<int>(skip_left);
        recv_exact(recv_buf, piece, "an oversized frame");
        skip_left -= piece;
        waiting -= piece;
    }
    recv_len = 0;
    memset(recv_buf, 0, sizeof recv_buf);
    return skip_left == 0;
}

// A frame is taken only at the first tick at which all of its bytes have arrived; until
// then it stays in the socket, so a slow or stalled server never holds up the tick.
void poll_server()
{
    int waiting = bytes_waiting();
    if (waiting < 0)
        return;
    if (skip_left > 0) {
        if (!skip_waiting(waiting))
            check_connection_alive(0, 0);
        return;
    }
    if (waiting < TAG_SIZE) {
        check_connection_alive(waiting, 0);
        return;
    }

    if (recv(sock, recv_buf, TAG_SIZE, MSG_PEEK | MSG_DONTWAIT) != TAG_SIZE)
        return;
    int32_t tag = get_be32(recv_buf);
    int32_t size = get_be32(recv_buf + 4);
    if (size < TAG_SIZE)
        fatal_error("frame %s (%d) has size %d, below the %d-byte header; the stream cannot "
                    "be trusted",
                    tag_name(tag), tag, size, TAG_SIZE);
    if (size > NET_BUF_SIZE) {
        fprintf(stderr, "frame %s (%d) of size %d is larger than the %d-byte buffer; skipped\n",
                tag_name(tag), tag, size, NET_BUF_SIZE);
        skip_left = size;
        if (!skip_waiting(waiting))
            check_connection_alive(0, 0);
        return;
    }
    if (waiting < size) {
        check_connection_alive(waiting, size);
        return;
    }

    // All size bytes are in the socket: this read returns at once.
    recv_exact(recv_buf, size, "a message");
    recv_len = size;
    // Bytes past the message are cleared so nothing of an earlier message is ever
    // mistaken for this one's.
    memset(recv_buf + size, 0, sizeof recv_buf - static_cast<size_t>(size));

    if (tag < 0 || tag >= TAG_COUNT) {
        fprintf(stderr, "unknown tag: %d\n", tag);
        return;
    }
    if (tag_handlers[tag])
        tag_handlers[tag]();
}

void send_keys(int32_t keys)
{
    put_be32(send_buf, TAG_KEYS);
    put_be32(send_buf + 4, KEYS_MSG_SIZE);
    put_be32(send_buf + 8, keys);
    // A failed send is not retried: the next key event sends the whole state again,
    // and the next poll notices a lost connection. No SIGPIPE on a closed peer.
    (void)send(sock, send_buf, KEYS_MSG_SIZE, MSG_NOSIGNAL);
}

int32_t payload_word(int k)
{
    int at = TAG_SIZE + 4 * k;
    if (k < 0 || at + 4 > NET_BUF_SIZE)
        return 0;
    return get_be32(recv_buf + at);
}

bool message_holds(int64_t payload_bytes)
{
    int32_t tag = get_be32(recv_buf);
    int64_t needed = TAG_SIZE + payload_bytes;
    if (recv_len >= needed)
        return true;
    fprintf(stderr,
            "%s (%d) of size %d is shorter than the %" PRId64 " bytes it must hold; "
            "dropped\n",
            tag_name(tag), tag, recv_len, needed);
    return false;
}
