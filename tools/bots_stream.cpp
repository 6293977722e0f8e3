// Check-in and frame reading for the load tool. Every length, count and size from the
// server is bounded here before it is used.
#include "bots_stream.h"

#include <cstdio>
#include <cstring>

#include "wire.h"

int stream_cars(const stream_reader &r)
{
    return r.players + r.enemies;
}

static int broken(stream_reader &r, stream_event &ev, int consumed)
{
    r.state = RS_BROKEN;
    ev.kind = EV_BROKEN;
    return consumed;
}

// A length word of a check-in text; false (stream broken) when it is out of range.
static bool text_length(stream_reader &r, const unsigned char *data, stream_event &ev)
{
    int32_t len = get_be32(data);
    if (len < 0 || len > CHECKIN_TEXT_MAX) {
        snprintf(ev.why, sizeof ev.why, "check-in text length %d outside 0 .. %d", len,
                 CHECKIN_TEXT_MAX);
        return false;
    }
    r.text_left = len;
    return true;
}

static int read_text(stream_reader &r, const unsigned char *data, int len, stream_event &ev,
                     bool keep)
{
    int take = len < r.text_left ? len : r.text_left;
    if (keep) {
        int room = GREETING_KEEP - 1 - r.greeting_len;
        int copy = take < room ? take : room;
        memcpy(r.greeting + r.greeting_len, data, static_cast<size_t>(copy));
        r.greeting_len += copy;
    }
    r.text_left -= take;
    ev.kind = EV_NONE;
    if (r.text_left == 0) {
        if (keep) {
            r.state = RS_ENTRY;
            ev.kind = EV_GREETING;
        } else {
            r.state = RS_FRAMES;
            ev.kind = EV_CHECKED_IN;
        }
    }
    return take;
}

// The round information's word 3 is the number of enemy cars; it decides the size of
// every car message that follows.
static bool take_roundinfo(stream_reader &r, const unsigned char *payload, stream_event &ev)
{
    int32_t enemies = get_be32(payload + 12);
    if (enemies < 0 || enemies > MAXPLAYER - r.players) {
        snprintf(ev.why, sizeof ev.why, "round information: %d enemies with %d players", enemies,
                 r.players);
        return false;
    }
    r.enemies = enemies;
    return true;
}

static int read_frame(stream_reader &r, const unsigned char *data, int len, stream_event &ev)
{
    if (len < TAG_SIZE)
        return 0;
    int32_t tag = get_be32(data);
    int32_t size = get_be32(data + 4);
    ev.tag = tag;
    ev.size = size;
    if (size < TAG_SIZE || size > FRAME_SKIP_MAX) {
        snprintf(ev.why, sizeof ev.why, "tag %d: size %d outside %d .. %d", tag, size, TAG_SIZE,
                 FRAME_SKIP_MAX);
        return broken(r, ev, 0);
    }
    int expected = message_size(tag, stream_cars(r));
    if (expected < 0 || size != expected) {
        if (expected < 0)
            snprintf(ev.why, sizeof ev.why, "unknown tag %d (size %d)", tag, size);
        else
            snprintf(ev.why, sizeof ev.why, "tag %d: size %d, its layout is %d (%d cars)", tag,
                     size, expected, stream_cars(r));
        r.skip_left = size - TAG_SIZE;
        ev.kind = EV_BAD_FRAME;
        return TAG_SIZE;
    }
    if (len < size)
        return 0;
    if (tag == TAG_ROUNDINFO && !take_roundinfo(r, data + TAG_SIZE, ev)) {
        ev.kind = EV_BAD_FRAME;
        return size;
    }
    ev.kind = EV_FRAME;
    ev.payload = data + TAG_SIZE;
    return size;
}

int stream_next(stream_reader &r, const unsigned char *data, int len, stream_event &ev)
{
    ev = stream_event{};
    if (len <= 0 || r.state == RS_BROKEN)
        return 0;
    if (r.skip_left > 0) {
        int take = len < r.skip_left ? len : r.skip_left;
        r.skip_left -= take;
        ev.kind = EV_NONE;
        return take;
    }
    switch (r.state) {
    case RS_GREETING_LEN:
    case RS_TEXT_LEN:
        if (len < 4)
            return 0;
        if (!text_length(r, data, ev))
            return broken(r, ev, 4);
        r.state = r.state == RS_GREETING_LEN ? RS_GREETING_TEXT : RS_TEXT;
        ev.kind = EV_NONE;
        // An empty text ends at once.
        if (r.text_left == 0)
            return 4 + read_text(r, data, 0, ev, r.state == RS_GREETING_TEXT);
        return 4;
    case RS_GREETING_TEXT: return read_text(r, data, len, ev, true);
    case RS_TEXT: return read_text(r, data, len, ev, false);
    case RS_ENTRY:
        if (len < 4)
            return 0;
        r.entry = get_be32(data);
        r.state = RS_PLAYERS;
        ev.kind = EV_NONE;
        return 4;
    case RS_PLAYERS: {
        if (len < 4)
            return 0;
        int32_t count = get_be32(data);
        if (count < 1 || count > MAXPLAYER || r.entry < 0 || r.entry >= count) {
            snprintf(ev.why, sizeof ev.why, "entry number %d with %d players", r.entry, count);
            return broken(r, ev, 4);
        }
        r.players = count;
        r.state = RS_TEXT_LEN;
        ev.kind = EV_NONE;
        return 4;
    }
    case RS_FRAMES: return read_frame(r, data, len, ev);
    default: return 0;
    }
}
