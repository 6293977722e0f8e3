// A game's replay, written as the game takes its inputs and read back to play it again.
//
// Layout (numbers as unsigned base-128 varints, low group first): the format byte; the
// places, enemies, rounds, flags per round, ticks of a waiting second, rivals, high
// score and the two send counters; the random state (4 bytes, high first); whether the high score
// waits to be sent; a byte with a bit per connected place, then for each of them a byte
// (1 checked in, 2 CLASSIC control), its keys and its name (length byte, bytes). Then
// the entries: a number (steps since the last entry × 16 + code) and the code's bytes:
// keys of a place (a byte of keys, 0x80 when a byte of further presses follows), a
// join (place, name), a leave (place), a high score (number), the end.
#include <cstring>

#include "game/game.h"
#include "game/replay.h"

namespace {

constexpr int HEAD_SHIFT = 4;  // the entry code takes the head's low four bits
constexpr int EXTRA_PRESSES = 0x80;
constexpr uint32_t WAIT_TICKS_MAX = 60 * TICK_HZ;
constexpr int NUMBER_BYTES_MAX = 5;

void put_byte(std::string &out, uint32_t v)
{
    out.push_back(static_cast<char>(v & 0xff));
}

void put_number(std::string &out, uint64_t v)
{
    while (v >= 0x80) {
        put_byte(out, static_cast<uint32_t>(v & 0x7f) | 0x80);
        v >>= 7;
    }
    put_byte(out, static_cast<uint32_t>(v));
}

void put_name(std::string &out, const char *name)
{
    size_t n = strnlen(name, NAME_BYTES - 1);
    put_byte(out, static_cast<uint32_t>(n));
    out.append(name, n);
}

uint32_t as_number(int v)
{
    return v > 0 ? static_cast<uint32_t>(v) : 0;
}

}  // namespace

void game::record_replays(size_t max_bytes)
{
    tape_.max_bytes = max_bytes;
    if (max_bytes == 0) {
        tape_.recording = false;
        tape_.bytes.clear();
    }
}

// The start: what start_game reads of the places, and the game's own counters.
void game::tape_start()
{
    replay_tape &t = tape_;
    t.bytes.clear();
    t.cut = false;
    t.step = t.last = 0;
    t.recording = t.max_bytes > 0;
    if (!t.recording)
        return;
    std::string &b = t.bytes;
    put_byte(b, REPLAY_FORMAT);
    for (int v : {cfg.slots, cfg.enemies, cfg.rounds, cfg.flags, cfg.wait_ticks, cfg.rivals,
                  hiscore, record_wait, smoke_wait})
        put_number(b, as_number(v));
    for (int shift = 24; shift >= 0; shift -= 8)
        put_byte(b, rng_state >> shift);
    put_byte(b, hiscore_dirty);
    uint32_t connected = 0;
    for (int s = 0; s < cfg.slots; s++)
        connected |= static_cast<uint32_t>(cars[s].connected) << s;
    put_byte(b, connected);
    for (int s = 0; s < cfg.slots; s++) {
        const car &c = cars[s];
        t.keys[s] = c.keys;
        t.presses[s] = c.presses;
        if (!c.connected)
            continue;
        put_byte(b, (c.status != PS_NONE ? 1u : 0u) | (c.control == CONTROL_CLASSIC ? 2u : 0u));
        put_byte(b, static_cast<uint32_t>(c.keys));
        put_name(b, c.name);
    }
}

// Keys are noted at the step boundary, as the step is about to read them: nothing
// between two steps reads a car's keys, so what they were then is all that counts.
// Presses the key states cannot tell (a key pressed and let go within one step) follow
// in a byte of their own. A rival's keys are no input: they follow from the game's state
// and its random numbers (rival.cpp), and the replay makes them again.
void game::tape_keys()
{
    replay_tape &t = tape_;
    if (!t.recording)
        return;
    for (int s = 0; s < cfg.slots; s++) {
        const car &c = cars[s];
        if (c.rival || (c.keys == t.keys[s] && c.presses == t.presses[s]))
            continue;
        int32_t derived = t.presses[s] | (c.keys & ~t.keys[s]);
        int32_t extra = c.presses & ~derived;
        put_number(t.bytes, static_cast<uint64_t>(t.step - t.last) << HEAD_SHIFT |
                                static_cast<uint64_t>(REPLAY_KEYS + s));
        t.last = t.step;
        put_byte(t.bytes, static_cast<uint32_t>(c.keys | (extra ? EXTRA_PRESSES : 0)));
        if (extra)
            put_byte(t.bytes, static_cast<uint32_t>(extra));
        t.keys[s] = c.keys;
        t.presses[s] = c.presses;
    }
}

void game::tape_event(int code, int slot, const char *name, int value)
{
    replay_tape &t = tape_;
    if (!t.recording)
        return;
    put_number(t.bytes,
               static_cast<uint64_t>(t.step - t.last) << HEAD_SHIFT | static_cast<uint64_t>(code));
    t.last = t.step;
    if (code == REPLAY_JOIN || code == REPLAY_LEAVE)
        put_byte(t.bytes, static_cast<uint32_t>(slot));
    if (code == REPLAY_JOIN)
        put_name(t.bytes, name);
    if (code == REPLAY_HISCORE)
        put_number(t.bytes, as_number(value));
    if (slot >= 0) {
        t.keys[slot] = cars[slot].keys;
        t.presses[slot] = cars[slot].presses;
    }
}

void game::tape_step_done()
{
    replay_tape &t = tape_;
    if (!t.recording)
        return;
    t.step++;
    for (int32_t &p : t.presses)
        p = 0;
    if (t.bytes.size() > t.max_bytes || t.step > REPLAY_STEPS_MAX) {
        t.recording = false;
        t.cut = true;
        std::string().swap(t.bytes);
    }
}

std::string game::take_replay()
{
    if (!tape_.recording)
        return "";
    tape_event(REPLAY_END, -1, nullptr, 0);
    tape_.recording = false;
    std::string taken;
    taken.swap(tape_.bytes);
    return taken;
}

// ---- Reading ----

bool replay_reader::fail(const char *what)
{
    if (why.empty())
        why = what;
    return false;
}

bool replay_reader::read_byte(int &value)
{
    if (pos_ >= bytes_.size())
        return fail("the replay is cut short");
    value = static_cast<unsigned char>(bytes_[pos_++]);
    return true;
}

bool replay_reader::read_number(uint32_t &value)
{
    uint64_t v = 0;
    for (int k = 0, b = 0; k < NUMBER_BYTES_MAX; k++) {
        if (!read_byte(b))
            return false;
        v |= static_cast<uint64_t>(b & 0x7f) << (7 * k);
        if (!(b & 0x80)) {
            if (v > INT32_MAX)
                break;
            value = static_cast<uint32_t>(v);
            return true;
        }
    }
    return fail("a number in the replay is out of range");
}

bool replay_reader::read_name(char name[NAME_BYTES])
{
    int n = 0;
    memset(name, 0, NAME_BYTES);
    if (!read_byte(n))
        return false;
    if (n > NAME_BYTES - 1 || bytes_.size() - pos_ < static_cast<size_t>(n))
        return fail("a name in the replay is too long");
    memcpy(name, bytes_.data() + pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return true;
}

// The connected places as they stood before the game began.
bool replay_reader::read_places()
{
    int connected = 0, checked = 0;
    if (!read_byte(connected))
        return false;
    if (connected >= 1 << g->cfg.slots)
        return fail("a place in the replay is out of range");
    for (int s = 0; s < g->cfg.slots; s++) {
        if (!(connected & 1 << s))
            continue;
        car &c = g->cars[s];
        int bits = 0, keys = 0;
        if (!read_byte(bits) || !read_byte(keys) || !read_name(c.name))
            return false;
        if (bits > 3 || keys > KEYS_KNOWN)
            return fail("a place's start in the replay is out of range");
        c.connected = true;
        c.status = bits & 1 ? PS_DRIVE : PS_NONE;
        c.control = bits & 2 ? CONTROL_CLASSIC : CONTROL_MODERN;
        c.keys = keys;
        c.wish = -1;
        checked += bits & 1;
    }
    return checked > 0 || fail("nobody is checked in at the replay's start");
}

bool replay_reader::open(std::string bytes, std::shared_ptr<path_scratch> scratch)
{
    bytes_ = std::move(bytes);
    pos_ = 0;
    step_ = entry_step_ = 0;
    ended_ = false;
    why.clear();
    int format = 0;
    if (!read_byte(format) || format != REPLAY_FORMAT)
        return fail(format == 1 ? "a replay of an older server, made under other rules"
                                : "not a replay this server can play");
    uint32_t v[9];
    for (uint32_t &x : v)
        if (!read_number(x))
            return false;
    if (v[0] < 1 || v[0] > MAXPLAYER || v[1] > MAXPLAYER - v[0] || v[2] < 1 || v[2] > ROUNDS_MAX ||
        v[3] < 1 || v[3] > FLAGS_MAX || v[4] < 1 || v[4] > WAIT_TICKS_MAX || v[5] > RIVALS_MAX ||
        v[7] > RECORD_PERIOD || v[8] > SMOKE_PERIOD)
        return fail("the replay's settings are out of range");
    auto n = [](uint32_t x) { return static_cast<int>(x); };
    game_config cfg{n(v[0]), n(v[1]), n(v[2]), 0, n(v[3]), 0, n(v[4]), true, n(v[5])};
    g = std::make_unique<game>(cfg, n(v[6]), std::move(scratch));
    g->record_wait = n(v[7]);
    g->smoke_wait = n(v[8]);
    uint32_t rng = 0;
    for (int k = 0, b = 0; k < 4; k++) {
        if (!read_byte(b))
            return false;
        rng = rng << 8 | static_cast<uint32_t>(b);
    }
    g->rng_state = rng;
    int dirty = 0;
    if (!read_byte(dirty) || !read_places())
        return false;
    g->hiscore_dirty = dirty != 0;
    g->lobby_ticks = 0;  // the first step begins the game
    return read_head();
}

bool replay_reader::read_head()
{
    uint32_t head = 0;
    if (!read_number(head))
        return false;
    code_ = static_cast<int>(head & ((1u << HEAD_SHIFT) - 1));
    entry_step_ += static_cast<long>(head >> HEAD_SHIFT);
    if (code_ > REPLAY_END)
        return fail("an entry of the replay is of no known kind");
    return entry_step_ <= REPLAY_STEPS_MAX || fail("the replay is too long");
}

bool replay_reader::apply(int code)
{
    int slot = code < REPLAY_JOIN ? code - REPLAY_KEYS : -1;
    if (code == REPLAY_JOIN || code == REPLAY_LEAVE) {
        if (!read_byte(slot))
            return false;
    }
    if (slot >= g->cfg.slots)
        return fail("a place in the replay is out of range");
    if (code == REPLAY_LEAVE) {
        g->leave(slot);
    } else if (code == REPLAY_JOIN) {
        char name[NAME_BYTES];
        if (!read_name(name))
            return false;
        g->join(slot, name);
    } else if (code == REPLAY_HISCORE) {
        uint32_t score = 0;
        if (!read_number(score))
            return false;
        g->raise_hiscore(static_cast<int>(score));
    } else {
        int keys = 0, extra = 0;
        if (!read_byte(keys) || ((keys & EXTRA_PRESSES) && !read_byte(extra)))
            return false;
        g->keys(slot, keys & KEYS_KNOWN);
        if (g->cars[slot].connected)
            g->cars[slot].presses |= extra & KEYS_KNOWN;
    }
    return true;
}

bool replay_reader::next()
{
    if (ended_ || !why.empty() || !g)
        return false;
    while (entry_step_ == step_) {
        if (code_ == REPLAY_END) {
            ended_ = true;
            return false;
        }
        if (!apply(code_) || !read_head())
            return false;
    }
    g->step();
    step_++;
    return true;
}
