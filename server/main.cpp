// mazecar-server: options, signals, the listening socket, then the event loop.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "game.h"
#include "net.h"
#include "options.h"

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
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: poll() returns at once
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
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
    install_signals();
    int fd = open_listener(opts.listen_addr, SERVER_PORT, nullptr);
    if (fd < 0)
        return 1;
    game_init(opts.game);
    printf("mazecar-server: listening on %s:%d, %d places, %d enemies, %d rounds, seed %u\n",
           opts.listen_addr, SERVER_PORT, cfg.slots, cfg.enemies, cfg.rounds, cfg.seed);
    fflush(stdout);
    int rc = serve(fd, opts.net);
    printf("mazecar-server: stopped\n");
    return rc;
}
