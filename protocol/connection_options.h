// The socket options of every game connection, set the same way by the client, the
// server and the load tool.
//
// No delay: each message leaves when it is written. With Nagle's algorithm a small
// message waits while an earlier one is unacknowledged, so over a 100 ms round trip a
// 30 Hz stream of car positions arrives in bunches once per round trip and a key
// press waits for the previous one's acknowledgement.
//
// Dead-peer detection: a peer that vanishes without a FIN or a reset (lid closed,
// Wi-Fi lost, NAT entry expired) makes the connection fail with ETIMEDOUT within
// DEAD_PEER_LIMIT_S seconds instead of the system's default of over two hours.
// Nothing goes on the wire while the peer answers; the probes are empty TCP segments
// the peer's system acknowledges.
#pragma once

// Seconds without any segment from the peer before the first keep-alive probe.
constexpr int KEEPALIVE_IDLE_S = 10;
// Seconds between unanswered probes.
constexpr int KEEPALIVE_INTERVAL_S = 5;
// Unanswered probes after which the connection is given up.
constexpr int KEEPALIVE_COUNT = 4;
// Milliseconds sent data may stay unacknowledged (retransmissions included) before
// the connection is given up; also bounds the keep-alive probing above.
constexpr int USER_TIMEOUT_MS = 30000;
// The promise the figures above keep: a silent peer is detected within this time.
constexpr int DEAD_PEER_LIMIT_S = 45;

// The other side of the promise: a link that is down this long (a Wi-Fi hand-over, a
// router restarting) and comes back leaves the connection as it was.
constexpr int OUTAGE_SURVIVED_S = 10;

static_assert(KEEPALIVE_IDLE_S >= 1 && KEEPALIVE_INTERVAL_S >= 1 && KEEPALIVE_COUNT >= 1,
              "the system takes keep-alive figures from 1");
static_assert(USER_TIMEOUT_MS >= OUTAGE_SURVIVED_S * 1000,
              "unacknowledged data outlasts an outage (the figure is in milliseconds)");
static_assert(KEEPALIVE_INTERVAL_S * KEEPALIVE_COUNT >= OUTAGE_SURVIVED_S,
              "unanswered probes outlast an outage");
static_assert(KEEPALIVE_IDLE_S + KEEPALIVE_INTERVAL_S * KEEPALIVE_COUNT < DEAD_PEER_LIMIT_S,
              "keep-alive gives up within the limit");
static_assert(USER_TIMEOUT_MS / 1000 < DEAD_PEER_LIMIT_S, "the user time-out is within the limit");

// Turns on keep-alive with the figures above and the TCP user time-out on the
// connected TCP socket fd. False when the system refused one of the options (the
// connection still works, only without the early detection).
bool enable_dead_peer_detection(int fd);
// Dead-peer detection and no delay on the TCP socket fd (connected, or about to
// connect); false when the system refused an option (the game still runs).
bool set_game_connection_options(int fd);
