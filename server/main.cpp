// mazecar-server: options, signals, descriptors, the listening socket, then the loop.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

#include "log.h"
#include "net/connections.h"
#include "options.h"
#include "store/pg_records.h"
#include "store/records.h"
#include "web/status_http.h"

static void on_stop_signal(int)
{
    stop_requested = 1;
}

static void install_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: epoll_wait() returns at once
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
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

// The records store --db names: an SQLite file, none, or PostgreSQL with its spool and,
// with --fleet, the room directory. kept_in says where, for the log.
static std::unique_ptr<records_sink> open_records(const server_options &opts, const std::string &db,
                                                  std::string &kept_in,
                                                  std::unique_ptr<room_directory> &fleet,
                                                  std::string &error)
{
    if (is_postgres_uri(opts.db)) {
        std::string spool = opts.spool ? opts.spool : default_records_path();
        std::unique_ptr<pg_records> pg = pg_records::open(db, spool, error);
        if (!pg || (opts.fleet && !(fleet = room_directory::open(db, opts.fleet, error))))
            return nullptr;
        kept_in = "kept in " + pg->where() + ", spool " + pg->spool_path();
        if (fleet)
            kept_in += "; rooms shared with the fleet, this process reached at " + fleet->self();
        return pg;
    }
    std::unique_ptr<record_store> store = record_store::open(db, error);
    if (store)
        kept_in = store->keeps_records() ? "kept in " + store->path() : "not kept: --db none";
    return store;
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
    std::string error, kept_in;
    std::unique_ptr<room_directory> fleet;
    std::unique_ptr<records_sink> store = open_records(opts, db_path, kept_in, fleet, error);
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
        if (!http.start(addr, http_port, board, error)) {
            fprintf(stderr, "mazecar-server: %s\n", error.c_str());
            return 1;
        }
    }
    install_signals();
    long files = raise_file_limit();
    if (files > 0 && opts.net.max_connections > files - SPARE_DESCRIPTORS) {
        long fit = files - SPARE_DESCRIPTORS > 1 ? files - SPARE_DESCRIPTORS : 1;
        log_line("open-file limit %ld holds only %ld connections; --max-connections lowered", files,
                 fit);
        opts.net.max_connections = static_cast<int>(fit);
    }
    int fd = open_listener(opts.listen_addr, SERVER_PORT, nullptr);
    if (fd < 0)
        return 1;
    const game_config &g = opts.game;
    log_line("open-file limit %ld, up to %d connections, %d per address, %d games", files,
             opts.net.max_connections, opts.net.per_address, opts.net.games_max);
    log_line("game records %s", kept_in.c_str());
    if (opts.http)
        log_line("status page on http://%s/", opts.http);
    log_line("listening on %s port %d, %d places, %d enemies, %d rounds, seed %u", opts.listen_addr,
             SERVER_PORT, g.slots, g.enemies, g.rounds, g.seed);
    if (!opts.net.proxy_from.empty())
        log_line("connections from %zu trusted balancer range(s) must begin with a PROXY header",
                 opts.net.proxy_from.size());
    int rc = serve(fd, opts.game, opts.net, store.get(), opts.http ? &board : nullptr, fleet.get());
    http.stop();
    log_line("stopped");
    return rc;
}
