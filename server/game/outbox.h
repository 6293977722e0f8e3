// The messages a game wants sent, in wire layout, until the connection layer hands
// them to the clients. The game never blocks on a socket. The storage is kept between
// steps, so a running game allocates nothing once it has warmed up.
#pragma once

#include <cstdint>
#include <vector>

#include "wire.h"

constexpr int TO_ALL = -1;  // audience: every client of the game
// Messages waiting at once. Between two deliveries a game queues one step's messages
// (a few dozen at most) and at most seven for each place a player took (a place left
// takes its messages back), so joins and leaves cannot fill it.
constexpr int OUTBOX_MAX = 128;

struct outbox {
    struct entry {
        int slot;    // TO_ALL or the human place it is meant for
        int offset;  // into bytes
        int len;
    };
    std::vector<unsigned char> bytes;
    std::vector<entry> msgs;
    long dropped = 0;  // messages lost to a full outbox (never expected), until taken

    // A fresh zeroed message of the given payload size with its header written;
    // null (and counted) when the outbox is full or the payload too large.
    unsigned char *begin(int slot, int tag, int payload);
    const unsigned char *data(const entry &e) const { return bytes.data() + e.offset; }
    // Takes back the messages meant for that place alone: its player has left.
    void discard(int slot);
    void clear()
    {
        bytes.clear();
        msgs.clear();
    }
};
