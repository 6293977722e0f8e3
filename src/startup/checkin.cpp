// Connecting and checking in. The check-in is unframed: length-prefixed texts and
// bare words; framing starts with the first byte after the second text.
#include "startup/checkin.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "game/model.h"
#include "net/framing.h"
#include "startup/shutdown.h"
#include "startup/startup.h"

int connect_server(const char *name, int port)
{
    hostent *host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list[0]) {
        fputs("gethostbyname failed", stderr);
        return -1;
    }
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    size_t len = static_cast<size_t>(host->h_length);
    memcpy(&addr.sin_addr, host->h_addr_list[0],
           len < sizeof addr.sin_addr ? len : sizeof addr.sin_addr);

    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fputs("connect failed", stderr);
        if (s >= 0)
            close(s);
        return -1;
    }
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
    game_status = GS_LOBBY;
}
