// The load tool's reader of what a server sends: the unframed check-in (greeting,
// entry number, player count, second text), then frames, each checked against its
// layout. It holds no socket; the caller feeds it bytes and acts on its events.
#pragma once

#include <cstdint>

constexpr int CHECKIN_TEXT_MAX = 64 * 1024;  // longest check-in text believed
constexpr int FRAME_SKIP_MAX = 1024 * 1024;  // a bad frame up to this size is skipped whole
constexpr int GREETING_KEEP = 256;           // bytes of the greeting kept for the report

enum {
    RS_GREETING_LEN,
    RS_GREETING_TEXT,
    RS_ENTRY,
    RS_PLAYERS,
    RS_TEXT_LEN,
    RS_TEXT,
    RS_FRAMES,
    RS_BROKEN,  // the stream cannot be followed any more
};

enum {
    EV_NEED_MORE,   // nothing more can be read from these bytes
    EV_NONE,        // bytes consumed, nothing to report (part of a text, a skipped frame)
    EV_GREETING,    // the greeting is complete: the client sends its name now
    EV_CHECKED_IN,  // entry number and player count are in, and the second text
    EV_FRAME,       // a frame that matches its layout
    EV_BAD_FRAME,   // a frame that does not; it is skipped whole
    EV_BROKEN,      // the stream breaks the protocol beyond repair
};

struct stream_reader {
    int state = RS_GREETING_LEN;
    int32_t text_left = 0;
    int32_t skip_left = 0;  // bytes of a bad frame still to drop
    int entry = -1;
    int players = 0;  // from the check-in
    int enemies = 0;  // from the latest round information
    char greeting[GREETING_KEEP] = {};
    int greeting_len = 0;
};

struct stream_event {
    int kind = EV_NEED_MORE;
    int tag = -1;
    int size = 0;
    const unsigned char *payload = nullptr;  // EV_FRAME: size - 8 bytes
    char why[96] = {};                       // EV_BAD_FRAME, EV_BROKEN
};

// Cars the car messages must carry now: players plus enemies.
int stream_cars(const stream_reader &r);

// Reads at most one event from the len bytes at data and returns how many bytes it
// consumed (0 with EV_NEED_MORE). A frame is reported only when it is whole in data.
int stream_next(stream_reader &r, const unsigned char *data, int len, stream_event &ev);
