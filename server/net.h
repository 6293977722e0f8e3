// The server's network side: one poll() loop over non-blocking sockets, the check-in
// of each connection, bounded input and output buffers, and the fixed game tick.
#pragma once

#include <csignal>
#include <cstddef>

constexpr int CONN_MAX = 16;             // connections at once, checking in or playing
constexpr int NAME_IN_MAX = 64;          // longest name message accepted (length word)
constexpr int IN_BUF_SIZE = 256;         // per-connection input bound
constexpr int OUT_BUF_SIZE = 64 * 1024;  // per-connection output bound
constexpr int SOCKET_SNDBUF =
    32 * 1024;                       // keeps a client that stops reading from hiding in the kernel
constexpr int QUIT_FLUSH_MS = 2000;  // time given to TAG_QUIT to leave on shutdown

struct net_settings {
    int checkin_ms;           // a check-in must finish within this
    const char *status_path;  // state of the game written here a few times a second; may be null
};

enum { CS_FREE, CS_NAME, CS_PLAY };

struct conn {
    int state;  // CS_*
    int fd;
    int slot;  // human slot, -1 for a connection turned away (server full)
    long long deadline_ms;
    unsigned char in[IN_BUF_SIZE];
    int in_len;
    unsigned char out[OUT_BUF_SIZE];
    int out_start, out_len;
};

extern conn conns[CONN_MAX];
extern volatile sig_atomic_t stop_requested;

// A non-blocking listening socket on addr:port (port 0 picks a free one); -1 and a
// message on failure. *bound_port gets the port in use.
int open_listener(const char *addr, int port, int *bound_port);

// Runs until stop_requested is set, then sends TAG_QUIT to every client, closes
// everything and returns 0. The game must have been set up with game_init().
int serve(int listen_fd, const net_settings &settings);

// Queues bytes for a connection; false (and nothing queued) when they do not fit.
bool queue_bytes(conn &c, const void *bytes, int len);
