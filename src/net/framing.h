// Framing and dispatch: the socket, the two buffers, the tag-handler table, the
// per-tick poll that takes at most one server message, and the key-state message.
#pragma once

#include <cstdint>

#include "wire.h"

using message_handler = void (*)();

extern int sock;                              // the one connection to the server
extern unsigned char recv_buf[NET_BUF_SIZE];  // the message being handled, header first
extern unsigned char send_buf[NET_BUF_SIZE];
extern int recv_len;  // bytes of the message now in recv_buf
extern message_handler tag_handlers[TAG_COUNT];
extern const char *const tag_names[TAG_COUNT];

// Takes at most one waiting message, once all of its bytes have arrived, and calls the
// handler of its tag; never waits for bytes. Ends the process (code 1) when the
// connection is lost or a frame cannot be trusted.
void poll_server();

// Starts framing afresh at a frame boundary (after the check-in, or on a new socket):
// forgets what was left of a frame being read away.
void reset_framing();

// Sends the 12-byte key-state message with the given key bits.
void send_keys(int32_t keys);

// Receives exactly len bytes into buf, waiting for all of them; ends the process
// with a message naming what was being read when the connection is lost.
void recv_exact(unsigned char *buf, int len, const char *what);

// Payload word k of the message in recv_buf (message bytes 8 + 4k .. 11 + 4k).
// Callers check the message's size with message_holds first.
int32_t payload_word(int k);

// True when the message in recv_buf carries at least payload_bytes of payload;
// otherwise writes a diagnostic naming the tag and both sizes and returns false.
bool message_holds(int64_t payload_bytes);
