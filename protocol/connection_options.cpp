// The socket options of every game connection, set the same way at both ends.
#include "connection_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

static bool set_int_option(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool enable_dead_peer_detection(int fd)
{
    bool ok = set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    ok = set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S) && ok;
    ok = set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S) && ok;
    ok = set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_COUNT) && ok;
    return set_int_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, USER_TIMEOUT_MS) && ok;
}

bool set_game_connection_options(int fd)
{
    bool ok = enable_dead_peer_detection(fd);
    return set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1) && ok;
}
