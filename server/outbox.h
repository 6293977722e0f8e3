// Messages the game wants sent: built here in wire layout and queued until the
// network loop hands them to the clients. The game never blocks on a socket.
#pragma once

#include <cstdint>

#include "net/wire.h"

constexpr int TO_ALL = -1;  // audience: every checked-in client
constexpr int OUTBOX_MAX = 64;

struct out_msg {
    int slot;  // TO_ALL or the human slot it is meant for
    int len;
    unsigned char bytes[NET_BUF_SIZE];
};

extern out_msg outbox[OUTBOX_MAX];
extern int outbox_count;
extern long outbox_dropped;  // messages lost to a full outbox (never expected)

void outbox_clear();

// Status messages: a bare header, or one word of payload.
void send_bare(int slot, int tag);
void send_word(int slot, int tag, int32_t value);

// Data messages from the game state.
void send_playerinfo(int slot);
void send_playerinfo2(int slot);
void send_roundinfo(int slot);
void send_map(int slot);
void send_smoke(int slot);
void send_hiscore(int slot);
