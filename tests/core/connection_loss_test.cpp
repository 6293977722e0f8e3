// The connection-loss matrix: the server closes the connection after every possible
// byte count of the check-in and of each kind of message. The client must always end
// with its "lost server connection" line and code 1 (code 0 only after a whole quit
// message), never hang, spin or crash.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "game/model.h"
#include "game/status.h"
#include "net/framing.h"
#include "peer.h"
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

// How many lost-connection lines the client wrote.
int loss_lines(const std::string &err)
{
    int lines = 0;
    for (size_t at = 0; (at = err.find("mazecar: lost server connection", at)) != std::string::npos;
         at++)
        lines++;
    return lines;
}

// Runs the check-in and then many ticks on sock; the exit code the client ended with,
// or -1 if it was still running.
int run_until_exit()
{
    try {
        check_in();
        for (int i = 0; i < 100; i++)
            tick(0);
    } catch (const process_ended &e) {
        return e.code;
    }
    return -1;
}

bytes check_in_stream()
{
    std::string greeting = "Your name: ";
    std::string second = "Go!\n";
    return words({static_cast<int32_t>(greeting.size())}) +
           bytes(greeting.begin(), greeting.end()) + words({1, 2}) +
           words({static_cast<int32_t>(second.size())}) + bytes(second.begin(), second.end());
}

// One valid message of every kind the server sends, for two cars.
std::vector<bytes> every_message()
{
    bytes full_cars;
    for (int i = 0; i < 2; i++)
        full_cars = full_cars + words({1, 2, 3, 1, 5, 6, 7, 8, 9, 10, 11}) + bytes(NAME_BYTES, 'n');
    return {
        frame(TAG_PLAYERINFO, words({1, 2, 3, 1, 5, 6, 7, 8, 1, 10})),
        frame(TAG_PLAYERINFO2, full_cars),
        frame(TAG_ROUNDINFO, words({1, 5, 5, 0})),
        frame(TAG_MAP, bytes(MAP_BYTES, CELL_WALL)),
        frame(TAG_SMOKE, bytes(SMOKE_PAYLOAD, 0)),
        frame(TAG_HISCORE, words({100})),
        frame(TAG_LOBBY, words({5})),
        frame(TAG_READY, words({3})),
        frame(TAG_START, words({1})),
        frame(TAG_STAGE_CLEAR, {}),
        frame(TAG_ROUND_RESULT, words({1})),
        frame(TAG_FINAL_RESULT, {}),
        frame(TAG_LIVE, {}),
        frame(TAG_GAME_OVER, {}),
        frame(TAG_QUIT, {}),
        frame(TAG_PAUSE, {}),
    };
}

class ConnectionLoss : public testing::Test {
protected:
    void SetUp() override
    {
        install_handlers();
        set_exit_hook(throw_instead_of_exit);
        saved_stdin_ = dup(0);
        int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        close(null_in);
    }
    void TearDown() override
    {
        set_exit_hook(nullptr);
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
        clearerr(stdin);
    }

    // Runs the client on a stream the server writes whole and then closes; returns
    // the exit code, or -1 if the client was still running after many ticks.
    int run_client_on(const bytes &stream)
    {
        reset_client();
        clearerr(stdin);
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        if (!stream.empty()) {
            EXPECT_EQ(send(fds[1], stream.data(), stream.size(), 0),
                      static_cast<ssize_t>(stream.size()));
        }
        close(fds[1]);
        sock = fds[0];
        int code = run_until_exit();
        if (sock >= 0 && code != 0)
            close(sock);
        sock = -1;
        return code;
    }

private:
    int saved_stdin_ = -1;
};

}  // namespace

TEST_F(ConnectionLoss, EveryCutOfTheCheckInEndsTheClientWithCodeOne)
{
    bytes stream = check_in_stream();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int cases = 0;
    for (size_t cut = 0; cut <= stream.size(); cut++, cases++)
        EXPECT_EQ(run_client_on(bytes(stream.begin(), stream.begin() + cut)), 1) << cut;
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(loss_lines(err), cases);
}

TEST_F(ConnectionLoss, EveryCutOfEveryMessageEndsTheClientWithCodeOne)
{
    bytes prefix = check_in_stream();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int cases = 0;
    for (const bytes &msg : every_message()) {
        int32_t tag = get_be32(msg.data());
        for (size_t cut = 0; cut <= msg.size(); cut++, cases++) {
            int expected = tag == TAG_QUIT && cut == msg.size() ? 0 : 1;
            EXPECT_EQ(run_client_on(prefix + bytes(msg.begin(), msg.begin() + cut)), expected)
                << tag_names[tag] << " cut after " << cut << " bytes";
        }
    }
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(loss_lines(err), cases - 1) << "one line per loss; none after quit";
}

TEST_F(ConnectionLoss, AServerThatStallsInsideAMessageAndThenClosesEndsTheClient)
{
    reset_client();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    bytes start = check_in_stream() + bytes{0, 0, 0, TAG_MAP, 0, 0, 7, 8, 1, 1, 1};
    ASSERT_EQ(send(fds[1], start.data(), start.size(), 0), static_cast<ssize_t>(start.size()));
    sock = fds[0];
    std::atomic<int> ticks{0};
    bool stalled = false;
    // The close comes once the client has ticked a few times with the message's
    // first 11 bytes waiting.
    std::thread stalling_server([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (ticks < 3 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stalled = ticks >= 3;
        unsigned char name[64];
        (void)recv(fds[1], name, sizeof name, MSG_DONTWAIT);  // the check-in's name
        close(fds[1]);
    });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // The ticks go on while the server stalls; the close ends the client at the
    // first tick after it.
    int code = -1;
    try {
        check_in();
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < give_up) {
            tick(0);
            ticks++;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } catch (const process_ended &e) {
        code = e.code;
    }
    stalling_server.join();
    EXPECT_TRUE(stalled) << "the client never ticked while the server stalled";
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("closed after 11 of the 1800 bytes of a message"), std::string::npos) << err;
    sock = -1;
}
