// Test double for the server: a socketpair whose one end is the client's sock and
// whose other end the test writes frames to and reads key messages from.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

// A whole frame: tag, size (header included, or forced_size when given), payload.
bytes frame(int32_t tag, const bytes &payload, int64_t forced_size = -1);
bytes words(std::initializer_list<int32_t> values);
bytes operator+(bytes a, const bytes &b);

// Fixture: a fresh, zeroed game model, the handler tables installed, sock connected
// to peer, me = &players[0] with Nclient = 1.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void send_raw(const bytes &data);
    void send_frame(int32_t tag, const bytes &payload) { send_raw(frame(tag, payload)); }
    // Reads exactly n bytes the client sent (fails the test on time-out).
    bytes read_sent(size_t n);
    // True when nothing the client sent is waiting.
    bool nothing_sent();
    void close_peer();

    int peer = -1;
};

// The model at its process-start state with one human player, no screen selected and
// an empty receive buffer.
void reset_client();
