// Fuzz target: arbitrary bytes as the server's whole stream to the client. The
// check-in, then framed messages through poll_server, each message's handler and the
// status handler of every tick: the code that ships, without a window. After every
// tick the model's invariants are checked.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "game/model.h"
#include "game/status.h"
#include "net/framing.h"
#include "startup/checkin.h"
#include "startup/shutdown.h"
#include "startup/startup.h"

namespace {

struct process_ended {
    int code;
};

[[noreturn]] void throw_instead_of_exit(int code)
{
    throw process_ended{code};
}

void check(bool holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

void check_invariants()
{
    check(me >= players && me < players + MAXPLAYER, "me inside players");
    check(Nclient >= 0 && Nclient <= MAXPLAYER, "Nclient within the table");
    check(recv_len >= 0 && recv_len <= NET_BUF_SIZE, "message inside recv_buf");
    check(game_status >= GS_LOBBY && game_status < GS_COUNT && game_status != 8,
          "game status one a message can set");
    if (game_status == GS_ROUND_RESULT || game_status == GS_FINAL_RESULT)
        check(status_count == 0, "result statuses keep a count of 0");
}

constexpr int MAX_TICKS = 4096;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    install_handlers();
    set_exit_hook(throw_instead_of_exit);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);  // the name prompt reads end of input: an empty name
    close(null_in);
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset_model();
    recv_len = 0;
    clearerr(stdin);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    int big = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    close(fds[1]);
    sock = fds[0];

    try {
        check_in();
        check_invariants();
        for (int i = 0; i < MAX_TICKS; i++) {
            tick(0);
            check_invariants();
        }
    } catch (const process_ended &) {
        // The client ended the way it would have ended the process.
    }
    if (sock >= 0)
        close(sock);
    sock = -1;
    return 0;
}
