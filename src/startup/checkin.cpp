// Connecting and checking in. The check-in is unframed: length-prefixed texts and
// bare words; framing starts with the first byte after the second text.
#include "startup/checkin.h"

#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connection_options.h"
#include "game/model.h"
#include "net/framing.h"
#include "startup/shutdown.h"
#include "startup/startup.h"

int connect_server(const char *name, int port)
{
    // Every address of the name, IPv4 and IPv6, in the order the resolver prefers.
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    addrinfo *found = nullptr;
    if (getaddrinfo(name, service, &hints, &found) != 0 || !found) {
        fputs("gethostbyname failed", stderr);
        return -1;
    }
    int s = -1;
    for (addrinfo *a = found; a && s < 0; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s >= 0 && connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            close(s);
            s = -1;
        }
    }
    freeaddrinfo(found);
    if (s < 0) {
        fputs("connect failed", stderr);
        return -1;
    }
    // Without them the game still runs; only a vanished server would go unnoticed,
    // or key presses leave late.
    (void)set_game_connection_options(s);
    fputs("connected.\n", stderr);
    return s;
}

static int32_t recv_word(const char *what)
{
    unsigned char word[4];
    recv_exact(word, 4, what);
    return get_be32(word);
}

void read_server_text()
{
    int32_t len = recv_word("the length of a check-in text");
    if (len < 0)
        fatal_error("check-in text length %d is negative", len);
    // A text longer than recv_buf is read through it in pieces; what it holds is
    // written up to its first NUL and the rest is read and dropped.
    bool ended = false;
    while (len > 0) {
        int piece = len > NET_BUF_SIZE ? NET_BUF_SIZE : len;
        recv_exact(recv_buf, piece, "a check-in text");
        if (!ended) {
            size_t shown = strnlen(reinterpret_cast<char *>(recv_buf), static_cast<size_t>(piece));
            fwrite(recv_buf, 1, shown, stdout);
            ended = shown < static_cast<size_t>(piece);
        }
        len -= piece;
    }
    fflush(stdout);
}

static void send_name(const char *name)
{
    int n = static_cast<int>(strlen(name));
    put_be32(send_buf, n + 1);
    memcpy(send_buf + 4, name, static_cast<size_t>(n));
    send_buf[4 + n] = '\0';
    (void)send(sock, send_buf, static_cast<size_t>(n) + 5, MSG_NOSIGNAL);
}

void check_in()
{
    read_server_text();

    char name[NAME_LINE_SIZE];
    read_console_line(name, NAME_LINE_SIZE);
    strip_newline(name, NAME_LINE_SIZE);
    send_name(name);

    int32_t entry = recv_word("the entry number");
    printf("your entry number is %d\n", entry);
    fflush(stdout);
    if (entry < 0 || entry >= MAXPLAYER)
        fatal_error("entry number %d from the server is outside 0 .. %d", entry, MAXPLAYER - 1);
    entry_no = entry;
    me = &players[entry_no];

    int32_t clients = recv_word("the number of players");
    printf("number of players: %d\n", clients);
    fflush(stdout);
    if (clients < 0 || clients > MAXPLAYER)
        fatal_error("number of players %d from the server is outside 0 .. %d", clients, MAXPLAYER);
    Nclient = clients;

    read_server_text();
    reset_framing();
    game_status = GS_LOBBY;
}
