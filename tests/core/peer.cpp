// The socketpair test double for the server connection.
#include "peer.h"

#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "game/model.h"
#include "game/status.h"
#include "net/framing.h"
#include "startup/startup.h"
#include "wire.h"

bytes words(std::initializer_list<int32_t> values)
{
    bytes out(values.size() * 4);
    size_t i = 0;
    for (int32_t v : values)
        put_be32(&out[4 * i++], v);
    return out;
}

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes frame(int32_t tag, const bytes &payload, int64_t forced_size)
{
    int32_t size = forced_size >= 0 ? static_cast<int32_t>(forced_size)
                                    : static_cast<int32_t>(TAG_SIZE + payload.size());
    return words({tag, size}) + payload;
}

void reset_client()
{
    reset_model();
    Nclient = 1;
    current_screen = nullptr;
    recv_len = 0;
    memset(recv_buf, 0, sizeof recv_buf);
    reset_framing();
}

void ClientTest::SetUp()
{
    reset_client();
    install_handlers();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    sock = fds[0];
    peer = fds[1];
}

void ClientTest::TearDown()
{
    if (sock >= 0)
        close(sock);
    if (peer >= 0)
        close(peer);
    sock = peer = -1;
}

void ClientTest::send_raw(const bytes &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(peer, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

bytes ClientTest::read_sent(size_t n)
{
    bytes out(n);
    size_t got = 0;
    while (got < n) {
        pollfd p{peer, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            ADD_FAILURE() << "the client sent " << got << " of " << n << " expected bytes";
            break;
        }
        ssize_t r = recv(peer, out.data() + got, n - got, 0);
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

bool ClientTest::nothing_sent()
{
    int waiting = 0;
    ioctl(peer, FIONREAD, &waiting);
    return waiting == 0;
}

void ClientTest::close_peer()
{
    close(peer);
    peer = -1;
}
