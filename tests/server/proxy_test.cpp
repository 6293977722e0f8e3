// The PROXY header reader and the trusted-balancer list, then the server behind a
// balancer: in-process on an ephemeral port, the test's sockets playing the balancer.
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/connections.h"
#include "net/proxy.h"

namespace {

using bytes = std::vector<unsigned char>;

const unsigned char SIG[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d,
                               0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};

bytes v2(unsigned char cmd, unsigned char family, const bytes &body)
{
    bytes b(SIG, SIG + 12);
    b.push_back(cmd);
    b.push_back(family);
    b.push_back(static_cast<unsigned char>(body.size() >> 8));
    b.push_back(static_cast<unsigned char>(body.size() & 0xff));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// 203.0.113.7:40000 -> 10.0.0.1:5555, then extra extension bytes.
bytes v2_tcp4(size_t extra = 0)
{
    bytes body = {203, 0, 113, 7, 10, 0, 0, 1, 0x9c, 0x40, 0x15, 0xb3};
    body.resize(body.size() + extra, 0);
    return v2(0x21, 0x11, body);
}

bytes text(const std::string &s)
{
    return bytes(s.begin(), s.end());
}

proxy_result parse(const bytes &b, proxy_header *h)
{
    return parse_proxy_header(b.data(), b.size(), h);
}

std::string source_text(const proxy_header &h)
{
    char buf[INET6_ADDRSTRLEN] = "";
    const void *raw =
        h.source.ss_family == AF_INET
            ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in &>(h.source).sin_addr)
            : &reinterpret_cast<const sockaddr_in6 &>(h.source).sin6_addr;
    inet_ntop(h.source.ss_family, raw, buf, sizeof buf);
    uint16_t port = h.source.ss_family == AF_INET
                        ? reinterpret_cast<const sockaddr_in &>(h.source).sin_port
                        : reinterpret_cast<const sockaddr_in6 &>(h.source).sin6_port;
    return std::string(buf) + ":" + std::to_string(ntohs(port));
}

TEST(ProxyHeader, Version2GivesTheClientAddressAndItsLengthWhateverFollows)
{
    proxy_header h;
    bytes b = v2_tcp4(7);  // extensions (TLVs) are skipped with the length
    b.push_back(0x42);     // the client's own first byte stays in the stream
    ASSERT_EQ(parse(b, &h), PROXY_DONE);
    EXPECT_EQ(h.length, 16u + 12 + 7);
    EXPECT_FALSE(h.local);
    EXPECT_EQ(source_text(h), "203.0.113.7:40000");

    bytes body(36, 0);
    body[0] = 0x20, body[1] = 0x01, body[2] = 0x0d, body[3] = 0xb8, body[15] = 9;
    body[32] = 0x01, body[33] = 0xbb;
    ASSERT_EQ(parse(v2(0x21, 0x21, body), &h), PROXY_DONE);
    EXPECT_EQ(source_text(h), "2001:db8::9:443");
}

TEST(ProxyHeader, Version2LocalIsAHealthCheckWithoutAddress)
{
    proxy_header h;
    ASSERT_EQ(parse(v2(0x20, 0x00, {}), &h), PROXY_DONE);
    EXPECT_TRUE(h.local);
    EXPECT_EQ(h.length, 16u);
}

TEST(ProxyHeader, EveryProperPrefixNeedsMore)
{
    for (const bytes &whole : {v2_tcp4(3), text("PROXY TCP4 192.0.2.1 192.0.2.2 1 65535\r\n")}) {
        proxy_header h;
        for (size_t n = 0; n < whole.size(); n++)
            EXPECT_EQ(parse_proxy_header(whole.data(), n, &h), PROXY_NEED_MORE) << n;
        EXPECT_EQ(parse(whole, &h), PROXY_DONE);
    }
}

TEST(ProxyHeader, MalformedVersion2IsInvalid)
{
    proxy_header h;
    bytes wrong_sig = v2_tcp4();
    wrong_sig[7] ^= 1;
    EXPECT_EQ(parse_proxy_header(wrong_sig.data(), 8, &h), PROXY_INVALID);  // seen early
    bytes b = v2_tcp4();
    b[12] = 0x11;  // version 1 in a binary header
    EXPECT_EQ(parse(b, &h), PROXY_INVALID);
    b = v2_tcp4();
    b[12] = 0x22;  // no such command
    EXPECT_EQ(parse(b, &h), PROXY_INVALID);
    // A length past the bound is refused from the fixed part alone, before its bytes come.
    b = v2(0x21, 0x11, bytes(PROXY_V2_BODY_MAX + 1, 0));
    EXPECT_EQ(parse_proxy_header(b.data(), 16, &h), PROXY_INVALID);
    b = v2(0x21, 0x11, bytes(PROXY_V2_BODY_MAX, 0));
    EXPECT_EQ(parse(b, &h), PROXY_DONE);
    EXPECT_EQ(parse(v2(0x21, 0x11, bytes(11, 0)), &h), PROXY_INVALID);   // short for IPv4
    EXPECT_EQ(parse(v2(0x21, 0x21, bytes(35, 0)), &h), PROXY_INVALID);   // short for IPv6
    EXPECT_EQ(parse(v2(0x21, 0x12, bytes(12, 0)), &h), PROXY_INVALID);   // UDP
    EXPECT_EQ(parse(v2(0x21, 0x31, bytes(216, 0)), &h), PROXY_INVALID);  // UNIX
    EXPECT_EQ(parse(v2(0x21, 0x00, {}), &h), PROXY_INVALID);             // no address to count by
}

TEST(ProxyHeader, Version1ReadsTcp4Tcp6AndUnknown)
{
    proxy_header h;
    ASSERT_EQ(parse(text("PROXY TCP4 198.51.100.22 10.0.0.1 35646 5555\r\nX"), &h), PROXY_DONE);
    EXPECT_EQ(source_text(h), "198.51.100.22:35646");
    EXPECT_EQ(h.length, 46u);
    ASSERT_EQ(parse(text("PROXY TCP6 2001:db8::1 ::1 0 5555\r\n"), &h), PROXY_DONE);
    EXPECT_EQ(source_text(h), "2001:db8::1:0");
    ASSERT_EQ(parse(text("PROXY UNKNOWN whatever\r\n"), &h), PROXY_DONE);
    EXPECT_TRUE(h.local);
    // The longest line the format allows is read; one byte more without CRLF is not,
    // nor a line whose CRLF comes later.
    std::string longest = "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                          "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
    ASSERT_EQ(longest.size(), PROXY_V1_MAX);
    EXPECT_EQ(parse(text(longest), &h), PROXY_DONE);
    EXPECT_EQ(parse(text("PROXY UNKNOWN " + std::string(PROXY_V1_MAX, 'a')), &h), PROXY_INVALID);
    EXPECT_EQ(parse(text("PROXY UNKNOWN " + std::string(150, 'a') + "\r\n"), &h), PROXY_INVALID);
}

TEST(ProxyHeader, MalformedVersion1IsInvalid)
{
    const char *bad[] = {
        "PROXX TCP4 1.2.3.4 5.6.7.8 1 2\r\n",
        "proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n",
        "PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n",
        "PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n",
        "PROXY TCP4 1.2.3.256 5.6.7.8 1 2\r\n",
        "PROXY TCP4 2001:db8::1 5.6.7.8 1 2\r\n",
        "PROXY TCP6 1.2.3.4 ::1 1 2\r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n",
        "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n\r\n",
        "PROXY \r\n",
        "GET / HTTP/1.0\r\n",
    };
    for (const char *s : bad) {
        proxy_header h;
        EXPECT_EQ(parse(text(s), &h), PROXY_INVALID) << s;
    }
    bytes with_nul = text("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\n");
    with_nul[20] = 0;
    proxy_header h;
    EXPECT_EQ(parse(with_nul, &h), PROXY_INVALID);
}

sockaddr_storage peer(const char *addr)
{
    sockaddr_storage sa{};
    if (inet_pton(AF_INET, addr, &reinterpret_cast<sockaddr_in &>(sa).sin_addr) == 1)
        sa.ss_family = AF_INET;
    else if (inet_pton(AF_INET6, addr, &reinterpret_cast<sockaddr_in6 &>(sa).sin6_addr) == 1)
        sa.ss_family = AF_INET6;
    return sa;
}

TEST(ProxyRanges, AddressesAndRangesOfBothFamiliesMatchTheirPeersOnly)
{
    std::vector<proxy_range> r;
    std::string err;
    ASSERT_TRUE(parse_proxy_ranges("127.0.0.1,10.1.0.0/16,2001:db8:1::/48,fd00::7", r, err));
    EXPECT_TRUE(proxy_trusted(r, peer("127.0.0.1")));
    EXPECT_FALSE(proxy_trusted(r, peer("127.0.0.2")));
    EXPECT_TRUE(proxy_trusted(r, peer("10.1.255.3")));
    EXPECT_FALSE(proxy_trusted(r, peer("10.2.0.1")));
    EXPECT_TRUE(proxy_trusted(r, peer("::ffff:10.1.2.3")));  // a server listening on ::
    EXPECT_TRUE(proxy_trusted(r, peer("2001:db8:1:ffff::1")));
    EXPECT_FALSE(proxy_trusted(r, peer("2001:db8:2::1")));
    EXPECT_TRUE(proxy_trusted(r, peer("fd00::7")));
    EXPECT_FALSE(proxy_trusted(r, peer("fd00::8")));
    EXPECT_FALSE(proxy_trusted(r, sockaddr_storage{}));
    ASSERT_TRUE(parse_proxy_ranges("10.0.0.0/9", r, err));
    EXPECT_TRUE(proxy_trusted(r, peer("10.127.0.1")));
    EXPECT_FALSE(proxy_trusted(r, peer("10.128.0.1")));

    for (const char *bad : {"", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "host",
                            "127.0.0.1,", "1.2.3.4/8x"}) {
        EXPECT_FALSE(parse_proxy_ranges(bad, r, err)) << bad;
        EXPECT_FALSE(err.empty());
    }
}

// ---- The server behind a balancer (the test's sockets) ----

class BehindBalancer : public ::testing::Test {
protected:
    void SetUp() override
    {
        listen_fd = open_listener("127.0.0.1", 0, &port);
        ASSERT_GE(listen_fd, 0);
        std::string err;
        server_settings s = default_server_settings();
        s.per_address = 1;
        s.stats_seconds = 0;
        s.checkin_ms = 2000;
        ASSERT_TRUE(parse_proxy_ranges("127.0.0.1", s.proxy_from, err));
        game_config g{4, 0, 1, 15, 1, 1, TICK_HZ, false};
        srv = new game_server(g, s);
        loop = std::thread([this] { srv->run(listen_fd); });
    }
    void TearDown() override
    {
        stop();
        delete srv;
        close(listen_fd);
    }
    // Ends the loop: the server's figures can be read after this.
    void stop()
    {
        srv->request_stop();
        if (loop.joinable())
            loop.join();
    }
    int connect_from(const char *source)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, source, &sa.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        return fd;
    }
    // What arrives within the time-out until the server closes: "" for a quiet close.
    static std::string read_until_close(int fd, int timeout_ms = 5000)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return got;
            got.append(buf, static_cast<size_t>(n));
        }
        return got + "<still open>";
    }
    // Waits for the greeting; true when it came.
    static bool greeted(int fd)
    {
        std::string got;
        for (int k = 0; k < 50 && got.find("Your name: ") == std::string::npos; k++) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return got.find("Your name: ") != std::string::npos;
    }
    static void send_bytes(int fd, const bytes &b) { send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

    int listen_fd = -1, port = 0;
    game_server *srv = nullptr;
    std::thread loop;
};

TEST_F(BehindBalancer, ClientsAreLimitedByTheirOwnAddressesNotTheBalancers)
{
    // Both from the trusted 127.0.0.1, for two clients: per_address 1 does not bite.
    int a = connect_from("127.0.0.1"), b = connect_from("127.0.0.1");
    send_bytes(a, text("PROXY TCP4 192.0.2.1 127.0.0.1 1000 5555\r\n"));
    send_bytes(b, v2_tcp4());
    EXPECT_TRUE(greeted(a));
    EXPECT_TRUE(greeted(b));
    // A second client from 192.0.2.1 is one too many for that address.
    int c = connect_from("127.0.0.1");
    send_bytes(c, text("PROXY TCP4 192.0.2.1 127.0.0.1 1001 5555\r\n"));
    EXPECT_EQ(read_until_close(c), "");
    stop();
    EXPECT_EQ(srv->stats.reasons[REFUSED_PER_ADDRESS], 1u);
    for (int fd : {a, b, c})
        close(fd);
}

TEST_F(BehindBalancer, HealthChecksCloseQuietlyAndBadHeadersAreDropped)
{
    int check = connect_from("127.0.0.1");
    send_bytes(check, v2(0x20, 0x00, {}));
    EXPECT_EQ(read_until_close(check), "");
    int bad = connect_from("127.0.0.1");
    send_bytes(bad, text("GET / HTTP/1.0\r\n"));
    EXPECT_EQ(read_until_close(bad), "");
    // Anyone else is greeted at once, and a header from it is a bad name message.
    int other = connect_from("127.0.0.9");
    EXPECT_TRUE(greeted(other));
    send_bytes(other, text("PROXY TCP4 192.0.2.1 127.0.0.1 1000 5555\r\n"));
    EXPECT_EQ(read_until_close(other), "");
    stop();
    EXPECT_EQ(srv->stats.health_checks, 1u);
    EXPECT_EQ(srv->stats.reasons[DROPPED_BAD_PROXY], 1u);
    EXPECT_EQ(srv->stats.reasons[DROPPED_BAD_INPUT], 1u);
    for (int fd : {check, bad, other})
        close(fd);
}

TEST_F(BehindBalancer, ACheckInTimesOutWithoutAHeaderAndWithAHeaderButNoName)
{
    int silent = connect_from("127.0.0.1"), nameless = connect_from("127.0.0.1");
    send_bytes(nameless, text("PROXY TCP4 192.0.2.1 127.0.0.1 1000 5555\r\n"));
    EXPECT_TRUE(greeted(nameless));
    EXPECT_EQ(read_until_close(silent), "");
    EXPECT_EQ(read_until_close(nameless), "");
    stop();
    EXPECT_EQ(srv->stats.reasons[DROPPED_CHECKIN_TIMEOUT], 2u);
    close(silent);
    close(nameless);
}

}  // namespace
