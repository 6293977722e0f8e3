// mazecar-server: options, signals, descriptors, the listening socket, then the loop.
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/signalfd.h>

#include "log.h"
#include "net/connections.h"
#include "options.h"
#include "store/pg_records.h"
#include "store/records.h"
#include "store/replays.h"
#include "web/status_http.h"

// SIGINT and SIGTERM are blocked before any thread starts, so every thread inherits
// the mask and none is ever interrupted by them; the loop reads them from the returned
// signalfd. SIGPIPE is ignored: a vanished peer shows as EPIPE.
static int stop_signal_fd()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Raises the open-file limit to the hard limit: every connection is a descriptor.
// Returns the limit now in force.
static long raise_file_limit()
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return -1;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(rl.rlim_cur);
}

constexpr long SPARE_DESCRIPTORS = 32;  // listening socket, epoll, log, spare, ...

// --max-connections within the open-file limit; returns the limit.
static long fit_connections(server_options &opts, server_log &log)
{
    long files = raise_file_limit();
    if (files > 0 && opts.net.max_connections > files - SPARE_DESCRIPTORS) {
        long fit = files - SPARE_DESCRIPTORS > 1 ? files - SPARE_DESCRIPTORS : 1;
        log.line("open-file limit %ld holds only %ld connections; --max-connections lowered", files,
                 fit);
        opts.net.max_connections = static_cast<int>(fit);
    }
    return files;
}

// The records store --db names: an SQLite file, none, or PostgreSQL with its spool and,
// with --fleet, the room directory. kept_in says where, for the log.
static std::unique_ptr<records_sink> open_records(const server_options &opts, const std::string &db,
                                                  server_log &log,
                                                  std::unique_ptr<room_directory> &fleet,
                                                  std::string &kept_in, std::string &error)
{
    if (is_postgres_uri(opts.db)) {
        std::string spool = opts.spool ? opts.spool : default_records_path();
        std::unique_ptr<pg_records> pg = pg_records::open(db, spool, error, &log);
        if (!pg || (opts.fleet && !(fleet = room_directory::open(db, opts.fleet, error, &log))))
            return nullptr;
        kept_in = "kept in " + pg->where() + ", spool " + pg->spool_path();
        if (fleet)
            kept_in += "; rooms shared with the fleet, this process reached at " + fleet->self();
        return pg;
    }
    std::unique_ptr<record_store> store = record_store::open(db, error, &log);
    if (store)
        kept_in = store->keeps_records() ? "kept in " + store->path() : "not kept: --db none";
    return store;
}

static void log_start(const server_options &opts, const std::string &kept_in, long files,
                      server_log &log)
{
    const game_config &g = opts.game;
    log.line("open-file limit %ld, up to %d connections, %d per address, %d games", files,
             opts.net.max_connections, opts.net.per_address, opts.net.games_max);
    log.line("game records %s", kept_in.c_str());
    if (opts.http)
        log.line("status page on http://%s/", opts.http);
    log.line("listening on %s port %d, %d places, %d enemies, %d rounds, seed %u", opts.listen_addr,
             SERVER_PORT, g.slots, g.enemies, g.rounds, g.seed);
    if (!opts.net.proxy_from.empty())
        log.line("connections from %zu trusted balancer range(s) must begin with a PROXY header",
                 opts.net.proxy_from.size());
    if (opts.net.bench_nagle)
        log.line("MAZECAR_BENCH_NAGLE set, for measurement: Nagle's algorithm on and every "
                 "position message queued");
}

// The store, the status page, the listening socket and the loop, until a stop signal.
static int serve(server_options &opts, const std::string &db_path, int signal_fd, server_log &log)
{
    std::string error, kept_in;
    std::unique_ptr<room_directory> fleet;
    std::unique_ptr<records_sink> store = open_records(opts, db_path, log, fleet, kept_in, error);
    if (!store) {
        fprintf(stderr, "mazecar-server: %s\n", error.c_str());
        return 1;
    }
    snapshot_board board;
    status_http http;
    if (opts.http) {
        std::string addr;
        int http_port = 0;
        parse_http_address(opts.http, addr, http_port);
        if (!http.start(addr, http_port, board, error, http_limits(), store.get())) {
            fprintf(stderr, "mazecar-server: %s\n", error.c_str());
            return 1;
        }
    }
    long files = fit_connections(opts, log);
    int fd = open_listener(opts.listen_addr, SERVER_PORT, nullptr);
    if (fd < 0)
        return 1;
    log_start(opts, kept_in, files, log);
    game_server server(opts.game, opts.net, store.get(), opts.http ? &board : nullptr, &log,
                       fleet.get());
    int rc = server.run(fd, signal_fd);
    http.stop();
    log.line("stopped");
    return rc;
}

int main(int argc, char **argv)
{
    server_options opts;
    int parsed = parse_options(argc, argv, opts);
    if (parsed == OPTIONS_HELP) {
        print_usage(argv[0]);
        return 0;
    }
    if (parsed == OPTIONS_BAD)
        return 2;
    std::string db_path = opts.db ? opts.db : default_records_path();
    if (opts.records > 0)
        return is_postgres_uri(opts.db) ? print_pg_records(db_path, opts.records, stdout)
                                        : print_records(db_path, opts.records, stdout);
    if (opts.verify_replays)
        return verify_replays(db_path, stdout);
    int signal_fd = stop_signal_fd();  // before the first thread: the log's writer
    if (signal_fd < 0) {
        perror("mazecar-server: signalfd");
        return 1;
    }
    server_log log;
    return serve(opts, db_path, signal_fd, log);
}
