// The event loop: one epoll set over the listening socket and every connection, a
// step of every game 30 times a second on the monotonic clock, and the goodbye to every
// client when the server stops.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "log.h"
#include "net/clock.h"
#include "net/connections.h"

namespace {

constexpr int EVENTS_MAX = 256;
constexpr long long PRUNE_PERIOD_MS = 10000;
constexpr long long FLEET_BEST_PERIOD_MS = 1000;  // the store's best score taken this often

// Games hold their final result until the record is stored, when there is a store.
game_config with_store(game_config cfg, const records_sink *store)
{
    cfg.await_record = store && store->keeps_records();
    return cfg;
}

}  // namespace

server_settings default_server_settings()
{
    return server_settings{10 * 1000, 4096,       8,       10,           1000,
                           60,        120 * 1000, nullptr, OUT_BUF_SIZE, SOCKET_SNDBUF};
}

game_server::game_server(const game_config &base, const server_settings &settings,
                         records_sink *store, snapshot_board *board, server_log *log,
                         room_directory *fleet)
    : conns(static_cast<size_t>(settings.max_connections > 0 ? settings.max_connections : 1)),
      places(with_store(base, store), settings.games_max),
      own_log_(log ? nullptr : std::make_unique<server_log>()), log_(log ? *log : *own_log_),
      settings_(settings),
      limits_(settings.per_address, settings.connect_rate, CONNECT_RATE_WINDOW_MS), store_(store),
      fleet_(fleet), board_(board), started_unix_ms_(wall_clock_ms())
{
    places.log = &log_;
    if (fleet_ && !parse_host_port(fleet_->self(), fleet_self_))
        fleet_ = nullptr;  // the options checked the address: never here
    if (store_)
        places.best_score = store_->best_score();
    // 64 random bits for this process's game ids; the time should the kernel not answer.
    if (getrandom(&uid_prefix_, sizeof uid_prefix_, GRND_NONBLOCK) != sizeof uid_prefix_)
        uid_prefix_ = static_cast<uint64_t>(monotonic_us()) * 0x9e3779b97f4a7c15ULL ^
                      static_cast<uint64_t>(getpid());
    if (store_ && store_->keeps_records())
        places.replay_bytes_max = static_cast<size_t>(settings.replay_kb) * 1024;
    for (int i = static_cast<int>(conns.size()) - 1; i >= 0; i--)
        free_.push_back(i);
}

game_server::~game_server()
{
    for (conn &c : conns)
        if (c.state != CS_FREE)
            close(c.fd);
    if (epoll_fd_ >= 0)
        close(epoll_fd_);
    if (spare_fd_ >= 0)
        close(spare_fd_);
}

void game_server::periodic(long long now)
{
    if (settings_.stats_seconds > 0 && now >= stats_due_ms_) {
        log_stats(now);
        stats_due_ms_ = now + settings_.stats_seconds * 1000LL;
    }
    if (listener_back_ms_ != 0 && now >= listener_back_ms_) {
        listener_back_ms_ = 0;
        watch_listener(true);
    }
    if (now >= prune_due_ms_) {
        limits_.prune(now);
        prune_due_ms_ = now + PRUNE_PERIOD_MS;
    }
    if (now >= fleet_best_due_ms_) {
        take_fleet_best();
        fleet_best_due_ms_ = now + FLEET_BEST_PERIOD_MS;
    }
}

void game_server::quit_all()
{
    unsigned char quit[TAG_SIZE];
    put_be32(quit, TAG_QUIT);
    put_be32(quit + 4, TAG_SIZE);
    for (conn &c : conns) {
        c.paced = false;  // the quit goes out as soon as the kernel takes it
        if (c.state == CS_NAME || c.state == CS_PROXY || c.state == CS_ROOM ||
            c.state == CS_RELAY || c.state == CS_FETCH)
            drop(c, -1, "server stopping");
        if ((c.state == CS_PLAY || c.state == CS_VIEW) && !c.out.push(quit, TAG_SIZE))
            drop(c, -1, "server stopping, queue full");
    }
    long long deadline = monotonic_ms() + QUIT_FLUSH_MS;
    std::vector<pollfd> fds;
    std::vector<conn *> owner;
    for (;;) {
        fds.clear();
        owner.clear();
        for (conn &c : conns)
            if ((c.state == CS_PLAY || c.state == CS_VIEW || c.state == CS_QUIT) &&
                c.out.pending() > 0) {
                fds.push_back(pollfd{c.fd, POLLOUT, 0});
                owner.push_back(&c);
            }
        long long left = deadline - monotonic_ms();
        if (fds.empty() || left <= 0)
            break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (size_t k = 0; k < fds.size(); k++)
            if (fds[k].revents & (POLLOUT | POLLERR | POLLHUP))
                write_out(*owner[k]);
    }
    for (conn &c : conns)
        if (c.state != CS_FREE)
            drop(c, -1, "server stopped");
    finish_turn();
}

// The connections with something to say, the listener and the stop signals.
void game_server::handle_events(const epoll_event *events, int n)
{
    for (int k = 0; k < n; k++) {
        uint64_t tag = events[k].data.u64;
        if (tag == LISTENER_EVENT) {
            accept_some();
            continue;
        }
        if (tag == SIGNAL_EVENT) {
            take_signals();
            continue;
        }
        if (tag == DIRECTORY_EVENT) {
            take_room_answers();
            continue;
        }
        bool peer = (tag & PEER_EVENT_BIT) != 0;
        size_t index = static_cast<uint32_t>(tag) & ~PEER_EVENT_BIT;
        conn &c = conns[index];
        // The connection may have been dropped, and its entry reused, earlier in this
        // batch: the generation tells.
        if (c.state == CS_FREE || c.gen != static_cast<uint32_t>(tag >> 32))
            continue;
        if (peer || c.state == CS_RELAY) {
            relay_event(c, peer, events[k].events);
            continue;
        }
        if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            on_readable(c);
        if (c.state != CS_FREE && (events[k].events & EPOLLOUT))
            write_out(c);
    }
}

// SIGINT or SIGTERM, read from the signalfd: the loop ends after this turn.
void game_server::take_signals()
{
    signalfd_siginfo info;
    while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        log_.line("signal %u: stopping", info.ssi_signo);
        request_stop();
    }
}

// One step of every game, then the reports that come every few steps.
void game_server::run_step(long long lateness_us)
{
    step_all(lateness_us);
    if (steps % STATUS_FILE_STEPS == 0)
        write_status_file();
    if (board_ && steps % SNAPSHOT_STEPS == 0)
        publish_snapshot();
    if (board_)
        publish_frames();
}

// The epoll set over the listener and the stop signals; false when it cannot be made.
bool game_server::open_event_set()
{
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_event sev{};
    sev.events = EPOLLIN;
    sev.data.u64 = SIGNAL_EVENT;
    if (epoll_fd_ < 0 || !watch_listener(true) ||
        (signal_fd_ >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, signal_fd_, &sev) != 0)) {
        log_.line("cannot watch the listening socket: %s", strerror(errno));
        return false;
    }
    epoll_event dev{};
    dev.events = EPOLLIN;
    dev.data.u64 = DIRECTORY_EVENT;
    if (fleet_ && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fleet_->wake_fd(), &dev) != 0) {
        log_.line("cannot watch the room directory: %s", strerror(errno));
        return false;
    }
    return true;
}

int game_server::run(int listen_fd, int signal_fd)
{
    listen_fd_ = listen_fd;
    signal_fd_ = signal_fd;
    if (!open_event_set())
        return 1;
    const long long period_us = 1000000 / TICK_HZ;
    long long next_step = monotonic_us() + period_us;
    stats_last_ms_ = monotonic_ms();
    stats_due_ms_ = stats_last_ms_ + settings_.stats_seconds * 1000LL;
    epoll_event events[EVENTS_MAX];
    int rc = 0;
    if (board_)
        publish_snapshot();
    while (!stop_) {
        long long wait_us = next_step - monotonic_us();
        int timeout = wait_us <= 0 ? 0 : static_cast<int>((wait_us + 999) / 1000);
        int n = epoll_wait(epoll_fd_, events, EVENTS_MAX, timeout);
        if (n < 0 && errno != EINTR) {
            log_.line("epoll_wait: %s", strerror(errno));
            rc = 1;
            break;
        }
        handle_events(events, n);
        long long now = monotonic_ms();
        expire_checkins(now);
        expire_fleet_waits(now);
        drop_idle_players(now);
        take_record_completions();
        take_kept_games();
        finish_turn();
        long long t = monotonic_us();
        if (t >= next_step) {
            run_step(t - next_step);
            next_step += period_us;
            if (t - next_step > 5 * period_us)  // far behind (a stopped process): catch up at once
                next_step = t + period_us;
        }
        periodic(now);
    }
    write_status_file();
    quit_all();
    return rc;
}
