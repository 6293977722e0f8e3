// The connection layer: one epoll loop over non-blocking sockets that accepts within
// the limits, runs each connection's check-in, hands the player to a game through
// placement, carries key frames in and the games' messages out through bounded
// queues, and steps every game on a monotonic clock. Games know nothing of sockets.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <sys/epoll.h>
#include <unordered_map>
#include <vector>

#include "game/game.h"
#include "game/placement.h"
#include "game/replay.h"
#include "log.h"
#include "net/address_limits.h"
#include "net/out_queue.h"
#include "net/proxy.h"
#include "net/stats.h"
#include "store/records.h"
#include "store/room_directory.h"
#include "web/status.h"

constexpr int NAME_IN_MAX = 64;   // longest name message accepted (length word)
constexpr int IN_BUF_SIZE = 256;  // per-connection input bound
static_assert(4 + NAME_IN_MAX <= IN_BUF_SIZE, "a whole name message fits the input buffer");
static_assert(PROXY_HEADER_MAX <= IN_BUF_SIZE, "a whole PROXY header fits the input buffer");
static_assert(NAME_IN_MAX <= PROXY_NAME_MAX, "a name read here can be handed over whole");
// Keeps a client that stops reading from hiding its backlog in the kernel.
constexpr int SOCKET_SNDBUF = 32 * 1024;
// A player's socket is writable (EPOLLOUT) only once the kernel has sent every byte it
// was given (TCP_NOTSENT_LOWAT): the loop hands it more only then (write_out).
constexpr int PLAYER_NOTSENT_LOWAT = 1;
// A link whose data has gone unacknowledged this long counts as stalled, and the loop
// hands it nothing more until an acknowledgement comes. Above a round trip plus a
// delayed acknowledgement on the links players use.
constexpr long long LINK_STALL_MS = 200;
constexpr int QUIT_FLUSH_MS = 2000;   // time given to TAG_QUIT to leave on shutdown
constexpr int QUIT_LINGER_MS = 5000;  // a client told to quit is closed after this at the latest
// Key frames a player may send: a bucket of KEY_FRAMES_BURST, refilled at
// KEY_FRAMES_PER_SECOND. A burst of what a stalled link held back passes; a flood
// empties the bucket and the player is dropped. A tap is two frames (down, up).
constexpr int KEY_FRAMES_BURST = 60;
constexpr int KEY_FRAMES_PER_SECOND = 40;  // 20 taps a second, more than hands keep up
constexpr int ACCEPTS_PER_TURN = 256;      // new connections taken before serving others
constexpr int ACCEPT_PAUSE_MS = 100;       // the listener rests this long after accept() fails
constexpr int IDLE_CHECK_MS = 250;         // how often players in lobbies are looked at
constexpr long long CONNECT_RATE_WINDOW_MS = 10000;
constexpr int STATUS_FILE_STEPS = 10;  // steps between writes of the status file
constexpr int SNAPSHOT_STEPS = 8;      // steps between snapshots for the status page

// A player handed over to another process of the fleet: bytes relayed each way, bounded.
// Small, as is the relay's receive buffer from that process: a player whose link stalls
// soon holds up the other process's sending, whose own rules then keep the backlog
// small (the newest position replaces an unsent one), rather than a deep buffer here.
constexpr int RELAY_BUF_SIZE = 8 * 1024;
// The directory's answer, then the connection to the room's process, each within this;
// else the room is played here.
constexpr int FLEET_WAIT_MS = 2000;

// An epoll event's data: the connection's index and its generation, the listener, the
// stop signals or the room directory. PEER_EVENT_BIT in the index: the other process's
// side of a relay.
constexpr uint64_t LISTENER_EVENT = ~uint64_t{0};
constexpr uint64_t SIGNAL_EVENT = ~uint64_t{0} - 1;
constexpr uint64_t DIRECTORY_EVENT = ~uint64_t{0} - 2;
constexpr uint32_t PEER_EVENT_BIT = 0x80000000u;
inline uint64_t event_tag(int index, uint32_t gen)
{
    return uint64_t{gen} << 32 | static_cast<uint32_t>(index);
}

struct server_settings {
    int checkin_ms;           // a check-in must finish within this (--checkin-seconds)
    int max_connections;      // connections at once, checking in or playing
    int per_address;          // open connections from one address
    int connect_rate;         // new connections from one address per 10 s
    int games_max;            // games open at once
    int stats_seconds;        // period of the stats line, 0 = none
    int idle_ms;              // a player silent this long in a lobby is dropped, 0 = never
    const char *status_path;  // state of the games written here a few times a second
    int out_queue_bytes;      // bound of each client's output queue (OUT_BUF_SIZE)
    int socket_sndbuf;        // kernel send buffer of each client (SOCKET_SNDBUF)
    // Balancers whose connections begin with a PROXY header naming the client (--proxy-from)
    std::vector<proxy_range> proxy_from = {};
    // For the link benchmark only (MAZECAR_BENCH_NAGLE in the environment): Nagle's
    // algorithm stays on for players and every position message is queued, so the
    // benchmark can measure the shipped way of sending against that.
    bool bench_nagle = false;
    int replay_kb = 1024;  // a game's replay is given up past this many KiB (--replay-kb)
    int viewers_max = 64;  // kept games played again to clients at once (--viewers)
};

server_settings default_server_settings();

// CS_PROXY: from a trusted balancer, waiting for the PROXY header before the greeting.
// CS_ROOM: named a room that may be another process's, waiting for the directory.
// CS_RELAY: handed over to the process holding its room; its bytes are relayed.
// CS_FETCH: checked in as name@#ID, waiting for the store to read game ID. CS_VIEW:
// watching a kept game played again. CS_QUIT: told to quit, closed once the client
// closes or its time runs out.
enum { CS_FREE, CS_NAME, CS_PLAY, CS_PROXY, CS_ROOM, CS_RELAY, CS_FETCH, CS_VIEW, CS_QUIT };

// States that end at the check-in deadline (and may be evicted for a newcomer).
inline bool on_deadline(int state)
{
    return state == CS_NAME || state == CS_PROXY || state == CS_FETCH;
}

// A kept game played again to one client, who watches through the view of one place.
struct replay_view {
    replay_reader replay;
    int64_t game_id = 0;
    int conn = -1;         // the viewer's connection; -1 once it is gone
    int slot = 0;          // the place whose view the client is given
    int final_steps = -1;  // steps left of the final result once the replay is over
};

struct conn {
    int state = CS_FREE;  // CS_*
    int fd = -1;
    uint32_t gen = 0;  // bumped on every reuse, so a stale event never reaches a newcomer
    addr_key addr{0, 0};
    char addr_text[48] = "";
    long long deadline_ms = 0;    // end of the check-in
    long long active_ms = 0;      // its last key frame, its check-in, or its game last in play
    hosted_game *hg = nullptr;    // the game of a checked-in player
    int slot = -1;                // its place there
    replay_view *view = nullptr;  // CS_VIEW: what it watches
    unsigned char in[IN_BUF_SIZE];
    int in_len = 0;
    out_queue out;
    bool flush_pending = false;  // in the list of queues to send at the end of the turn
    bool polling_out = false;    // epoll waits for room to write
    bool paced = false;          // PLAYER_NOTSENT_LOWAT is set: hand the kernel no backlog
    bool stalled = false;        // nothing acknowledged for LINK_STALL_MS
    uint64_t handed = 0;         // bytes the kernel has taken
    uint64_t acked = 0;          // of those, acknowledged when last looked at
    long long progress_ms = 0;   // when the acknowledged count last moved
    long long keys_ms = 0;       // when the key-frame credit was last brought up to date
    long long key_credit = 0;    // key frames allowed now, in thousandths of a frame
    sockaddr_storage peer{};     // the client's address (behind a balancer, the one it names)
    // The fleet: a player another process handed over (never sent on), the name as typed
    // while the room's holder is found, the holder, and the relay's other side.
    bool handed_over = false;
    std::string typed, owner;
    int peer_fd = -1;
    bool peer_connected = false;
    out_queue up;                       // bytes for the room's process
    uint32_t ev_mine = 0, ev_peer = 0;  // what epoll watches on each side of the relay
};

// A non-blocking listening socket on addr (IPv4 or IPv6; "::" takes both families where
// the system allows it) and port (0 picks a free one); -1 and a message on failure.
int open_listener(const char *addr, int port, int *bound_port);

class game_server {
public:
    // store: where finished games are kept (may be null: nothing is kept); board: where
    // the loop publishes its snapshots for the status page (may be null); log: where the
    // loop and its games log (null: a log of the server's own on standard output); fleet:
    // the room directory shared with the other processes (null: the rooms are its own).
    game_server(const game_config &base, const server_settings &settings,
                records_sink *store = nullptr, snapshot_board *board = nullptr,
                server_log *log = nullptr, room_directory *fleet = nullptr);
    ~game_server();
    game_server(const game_server &) = delete;
    game_server &operator=(const game_server &) = delete;

    // Serves until request_stop() or a signal on signal_fd (a signalfd, -1 for none),
    // then sends TAG_QUIT to every client, closes everything and returns 0 (1 when the
    // loop itself failed).
    int run(int listen_fd, int signal_fd = -1);
    // Ends run() within a step; any thread may call it.
    void request_stop() { stop_ = true; }

    std::vector<conn> conns;
    placement places;
    server_stats stats;
    long steps = 0;

private:
    void accept_some();
    bool accept_failed();
    bool watch_listener(bool on);
    bool open_event_set();
    void take_signals();
    void drop_idle_players(long long now);
    void admit(int fd, const sockaddr_storage &sa);
    bool turn_away_if_no_game(int fd);
    void read_proxy_header(conn &c);
    void refuse(int fd, int reason, const char *addr_text);
    bool evict_oldest_checkin();
    void expire_checkins(long long now);
    void greet(conn &c);
    void read_name(conn &c);
    void finish_check_in(conn &c, int name_len);
    void place_player(conn &c, const char *typed, bool claimed);
    bool ask_fleet(conn &c, const char *typed, const std::string &room);
    void take_room_answers();
    void hand_over(conn &c, const std::string &owner);
    void play_here(conn &c, bool claimed, bool owner_gone);
    void expire_fleet_waits(long long now);
    void relay_event(conn &c, bool peer, uint32_t events);
    void relay_connected(conn &c);
    void relay_read(conn &c, bool from_peer, uint32_t events);
    void relay_send(conn &c, bool to_peer);
    void relay_watch(conn &c);
    void read_frames(conn &c);
    void on_readable(conn &c);
    void write_out(conn &c);
    void want_flush(conn &c);
    void flush_all();
    void drop(conn &c, int reason, const char *why);
    void touch(hosted_game *hg);
    void deliver(hosted_game *hg);
    void hand_out(hosted_game *hg, const outbox::entry &e);
    bool queue_message(conn &c, const unsigned char *bytes, size_t len);
    void finish_turn();
    void step_all(long long lateness_us);
    void share_best_score();
    void take_fleet_best();
    std::string next_game_uid();
    void record_game(hosted_game *hg, bool abandoned);
    void take_record_completions();
    // Kept games played again (replay_watch.cpp).
    bool check_in_to_watch(conn &c, const char *raw);
    void take_kept_games();
    void start_view(conn &c, kept_game &k, int64_t id);
    void refuse_view(conn &c, const char *text);
    bool answer_check_in(conn &c, int slot, int place_count, const char *text);
    void tell_to_quit(conn &c);
    void step_views();
    void step_view(replay_view &v);
    void deliver_view(replay_view &v);
    void close_game(hosted_game *hg);
    void periodic(long long now_ms);
    void write_status_file() const;
    void publish_snapshot();
    void publish_frames();
    server_figures figures() const;
    void log_stats(long long now_ms);
    void quit_all();
    void handle_events(const epoll_event *events, int n);
    void run_step(long long lateness_us);
    int index_of(const conn &c) const { return static_cast<int>(&c - conns.data()); }

    std::unique_ptr<server_log> own_log_;
    server_log &log_;
    server_settings settings_;
    address_limits limits_;
    records_sink *store_;
    room_directory *fleet_;
    sockaddr_storage fleet_self_{};  // where the other processes reach this one
    uint64_t next_ask_ = 1;
    std::unordered_map<uint64_t, std::pair<int, uint32_t>> asks_;  // directory ticket -> conn
    std::vector<room_answer> answers_;
    struct fleet_wait {
        int index;
        uint32_t gen;
        long long deadline_ms;
    };
    std::deque<fleet_wait> fleet_waits_;  // oldest first; stale entries skipped
    snapshot_board *board_;
    long long started_unix_ms_;
    uint64_t next_ticket_ = 1;
    uint64_t uid_prefix_ = 0, uid_count_ = 0;    // a game's fleet-wide id: random, then a count
    std::unordered_map<uint64_t, int> tickets_;  // record in the store's queue -> game id
    std::vector<std::pair<uint64_t, bool>> completions_;
    struct fetch {
        int index;
        uint32_t gen;
        int64_t id;
    };
    std::unordered_map<uint64_t, fetch> fetches_;  // store ticket -> the connection asking
    struct quitting {
        int index;
        uint32_t gen;
        long long deadline_ms;
    };
    std::deque<quitting> quitting_;  // told to quit, oldest first
    std::vector<kept_game> kept_;
    std::vector<std::unique_ptr<replay_view>> views_;
    std::vector<int> watched_;  // running games a page shows
    int epoll_fd_ = -1;
    int listen_fd_ = -1;
    int signal_fd_ = -1;
    int spare_fd_ = -1;  // given up to accept and close a connection when out of descriptors
    std::vector<int> free_;
    std::deque<std::pair<int, uint32_t>> checkins_;  // oldest first; stale entries skipped
    std::vector<std::pair<int, uint32_t>> flush_list_;
    std::vector<std::pair<int, uint32_t>> stalled_;  // held on a stalled link: tried each step
    std::vector<hosted_game *> touched_;
    outbox sending_;  // the messages of the game being delivered
    server_stats stats_before_;
    long long stats_due_ms_ = 0, stats_last_ms_ = 0, prune_due_ms_ = 0, idle_due_ms_ = 0;
    long long fleet_best_due_ms_ = 0;
    long long listener_back_ms_ = 0;  // the listener rests until then after accept() failed
    std::atomic<bool> stop_{false};
};

// "127.0.0.1:5555" or "[::1]:5555", as --http takes its address: a numeric address and
// a port 1..65535.
bool parse_host_port(const std::string &text, sockaddr_storage &out);
