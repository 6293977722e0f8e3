// The console dialogue and the check-in exchange.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio_ext.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "connection_options.h"
#include "game/model.h"
#include "net/framing.h"
#include "peer.h"
#include "startup/checkin.h"
#include "startup/startup.h"

// Replaces standard input with the given text (then end of input) for one test.
class ConsoleInput {
public:
    explicit ConsoleInput(const std::string &text)
    {
        saved_ = dup(0);
        int fds[2];
        if (pipe(fds) != 0)
            ADD_FAILURE() << "pipe";
        if (write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "write";
        close(fds[1]);
        dup2(fds[0], 0);
        close(fds[0]);
        __fpurge(stdin);  // what an earlier test left unread belongs to its input
        clearerr(stdin);
    }
    ~ConsoleInput()
    {
        dup2(saved_, 0);
        close(saved_);
        __fpurge(stdin);
        clearerr(stdin);
    }

private:
    int saved_;
};

static bytes text_bytes(const std::string &text)
{
    return words({static_cast<int32_t>(text.size())}) + bytes(text.begin(), text.end());
}

TEST(StripNewline, RemovesExactlyOneTrailingNewline)
{
    char a[16] = "name\n";
    EXPECT_STREQ(strip_newline(a, 16), "name");
    char b[16] = "name\r\n";
    EXPECT_STREQ(strip_newline(b, 16), "name\r");
    char c[16] = "host \n";
    EXPECT_STREQ(strip_newline(c, 16), "host ");
    char d[16] = "";
    EXPECT_STREQ(strip_newline(d, 16), "");
    char e[16] = "\n\n";
    EXPECT_STREQ(strip_newline(e, 16), "\n");
}

static std::string asked_server(const std::string &typed)
{
    ConsoleInput input(typed);
    char line[SERVER_LINE_SIZE];
    memset(line, 'Z', sizeof line);  // stale content must never be used
    testing::internal::CaptureStdout();
    ask_server(line);
    std::string prompt = testing::internal::GetCapturedStdout();
    EXPECT_EQ(prompt, "server name or IP  [127.0.0.1]: ");
    return line;
}

TEST(ServerPrompt, ShortOrMissingLinesMeanTheDefaultServer)
{
    EXPECT_EQ(asked_server("\n"), "127.0.0.1");
    EXPECT_EQ(asked_server(""), "127.0.0.1");
    EXPECT_EQ(asked_server("x"), "127.0.0.1");
    EXPECT_EQ(asked_server("x\n"), "x");
    EXPECT_EQ(asked_server("game.example \n"), "game.example ");
}

TEST(ServerPrompt, ALongLineIsCutAt127Characters)
{
    std::string typed(200, 'h');
    EXPECT_EQ(asked_server(typed + "\n"), std::string(127, 'h'));
}

class CheckIn : public ClientTest {
protected:
    void serve(const std::string &greeting, int32_t entry, int32_t clients,
               const std::string &second)
    {
        send_raw(text_bytes(greeting) + words({entry, clients}) + text_bytes(second));
    }

    // Runs the check-in with the typed name; returns what went to standard output.
    std::string run_check_in(const std::string &typed)
    {
        ConsoleInput input(typed);
        testing::internal::CaptureStdout();
        check_in();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(CheckIn, SendsTheNameAndTakesEntryNumberAndPlayers)
{
    game_status = GS_PLAY;
    serve("Welcome! Your name: ", 3, 4, "Good luck.\n");
    std::string out = run_check_in("alice\n");
    EXPECT_EQ(out,
              "Welcome! Your name: your entry number is 3\nnumber of players: 4\nGood luck.\n");
    EXPECT_EQ(read_sent(10), (bytes{0, 0, 0, 6, 'a', 'l', 'i', 'c', 'e', 0}));
    EXPECT_EQ(me, &players[3]);
    EXPECT_EQ(Nclient, 4);
    EXPECT_EQ(game_status, GS_LOBBY);
}

TEST_F(CheckIn, NameLengthsAreCutToFifteenCharacters)
{
    serve("", 0, 1, "");
    run_check_in("\n");
    EXPECT_EQ(read_sent(5), (bytes{0, 0, 0, 1, 0}));

    serve("", 0, 1, "");
    run_check_in("abcdefghijklmn\n");
    bytes fourteen = read_sent(19);
    EXPECT_EQ(get_be32(fourteen.data()), 15);
    EXPECT_EQ(fourteen.back(), 0);

    serve("", 0, 1, "");
    run_check_in("abcdefghijklmnopqrst\n");
    bytes twenty = read_sent(20);
    EXPECT_EQ(get_be32(twenty.data()), 16);
    EXPECT_EQ(std::string(twenty.begin() + 4, twenty.end() - 1), "abcdefghijklmno");
}

TEST_F(CheckIn, EndOfInputAtTheNamePromptSendsAnEmptyName)
{
    serve("name? ", 1, 2, "");
    run_check_in("");
    EXPECT_EQ(read_sent(5), (bytes{0, 0, 0, 1, 0}));
}

TEST_F(CheckIn, ServerTextsArePrintedVerbatimUpToANul)
{
    serve("100%s %d %n\n", 0, 1, std::string("shown\0hidden", 12));
    std::string out = run_check_in("x\n");
    EXPECT_EQ(out, "100%s %d %n\nyour entry number is 0\nnumber of players: 1\nshown");
}

TEST_F(CheckIn, ATextLongerThanTheBufferIsPrintedWhole)
{
    std::string greeting(5000, 'g');
    greeting[4999] = '!';
    serve(greeting, 0, 1, "");
    std::string out = run_check_in("x\n");
    EXPECT_EQ(out.substr(0, 5000), greeting);
    EXPECT_EQ(Nclient, 1) << "the words after the long text were read in place";
}

TEST_F(CheckIn, NumbersWithTheTopBitSetPrintNegativeAndEndTheClient)
{
    send_raw(text_bytes("") + words({-2}));
    ConsoleInput input("x\n");
    EXPECT_EXIT(check_in(), testing::ExitedWithCode(1), "entry number -2");
}

TEST_F(CheckIn, EntryNumbersAndPlayerCountsOutsideTheTableEndTheClient)
{
    serve("", 8, 1, "");
    {
        ConsoleInput input("x\n");
        EXPECT_EXIT(check_in(), testing::ExitedWithCode(1), "entry number 8 from the server");
    }
    TearDown();
    SetUp();
    serve("", 0, 9, "");
    ConsoleInput input("x\n");
    EXPECT_EXIT(check_in(), testing::ExitedWithCode(1), "number of players 9 from the server");
}

TEST_F(CheckIn, ANegativeTextLengthEndsTheClient)
{
    send_raw(words({-1}));
    ConsoleInput input("x\n");
    EXPECT_EXIT(check_in(), testing::ExitedWithCode(1), "check-in text length -1 is negative");
}

TEST_F(CheckIn, AConnectionClosedDuringTheCheckInEndsTheClient)
{
    send_raw(text_bytes("hello") + bytes{0, 0});
    close_peer();
    ConsoleInput input("x\n");
    EXPECT_EXIT(check_in(), testing::ExitedWithCode(1),
                "lost server connection: closed after 2 of the 4 bytes of the entry number");
}

TEST(Connect, AnUnresolvableNameAndARefusedPortFailWithTheirWords)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(connect_server("no-such-host.invalid", SERVER_PORT), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "gethostbyname failed");
    testing::internal::CaptureStderr();
    EXPECT_EQ(connect_server("127.0.0.1", 1), -1);  // nothing listens on port 1
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "connect failed");
}

TEST(Connect, AnIPv6LiteralConnectsWithDeadPeerDetectionAndNoDelay)
{
    int listener = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(listener);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);

    testing::internal::CaptureStderr();
    int s = connect_server("::1", ntohs(addr.sin6_port));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "connected.\n");
    ASSERT_GE(s, 0);
    // What the system holds for the connection: a silent server is given up within
    // the limit, and not before the first probe goes unanswered.
    auto option = [s](int level, int name) {
        int value = -1;
        socklen_t size = sizeof value;
        EXPECT_EQ(getsockopt(s, level, name, &value, &size), 0);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    int idle = option(IPPROTO_TCP, TCP_KEEPIDLE);
    int probing = option(IPPROTO_TCP, TCP_KEEPINTVL) * option(IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_LT(idle + probing, DEAD_PEER_LIMIT_S);
    EXPECT_GT(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
    EXPECT_LT(option(IPPROTO_TCP, TCP_USER_TIMEOUT), DEAD_PEER_LIMIT_S * 1000);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_NODELAY), 1);  // a key press leaves at once
    close(s);
    close(listener);
}
