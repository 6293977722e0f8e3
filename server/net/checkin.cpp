// The check-in: a PROXY header from a trusted balancer, the greeting, the name, the
// placement in a game and the answer (entry number, number of places, second text).
#include <cstdio>
#include <cstring>
#include <string>

#include "net/clock.h"
#include "net/connections.h"

// The first bytes from a trusted balancer: the header, then the client's address is
// limited and greeted as if it had connected itself. A LOCAL header is the balancer's
// health check, closed without a log line.
void game_server::read_proxy_header(conn &c)
{
    proxy_header h;
    proxy_result r = parse_proxy_header(c.in, static_cast<size_t>(c.in_len), &h);
    if (r == PROXY_NEED_MORE)
        return;
    if (r == PROXY_INVALID) {
        drop(c, DROPPED_BAD_PROXY, "no valid PROXY header from a trusted balancer");
        return;
    }
    if (h.local) {
        stats.health_checks++;
        drop(c, -1, nullptr);
        return;
    }
    c.in_len -= static_cast<int>(h.length);
    memmove(c.in, c.in + h.length, static_cast<size_t>(c.in_len));
    c.peer = h.source;
    format_address(h.source, c.addr_text, sizeof c.addr_text);
    c.addr = address_key(h.source);
    admit_verdict verdict = limits_.admit(c.addr, monotonic_ms());
    if (verdict != ADMIT_OK) {  // still CS_PROXY: drop() releases nothing
        int reason = verdict == ADMIT_TOO_FAST ? REFUSED_RATE : REFUSED_PER_ADDRESS;
        drop(c, reason, reason_names[reason]);
        return;
    }
    c.state = CS_NAME;
    if (h.name.empty() && turn_away_if_no_game(c.fd)) {
        drop(c, REFUSED_GAMES, reason_names[REFUSED_GAMES]);
        return;
    }
    stats.connections_accepted++;
    if (h.name.empty()) {
        greet(c);
        return;
    }
    // Handed over by another process of the fleet, which greeted the player and read the
    // name: the answer to the name is this process's to give.
    c.handed_over = true;
    place_player(c, h.name.c_str(), false);
}

void game_server::expire_checkins(long long now)
{
    while (!checkins_.empty()) {
        auto [index, gen] = checkins_.front();
        conn &c = conns[static_cast<size_t>(index)];
        bool current = on_deadline(c.state) && c.gen == gen;
        if (current && now <= c.deadline_ms)
            break;
        checkins_.pop_front();
        if (current)
            drop(c, DROPPED_CHECKIN_TIMEOUT, "check-in timed out");
    }
    while (!quitting_.empty() && quitting_.front().deadline_ms < now) {
        conn &c = conns[static_cast<size_t>(quitting_.front().index)];
        if (c.state == CS_QUIT && c.gen == quitting_.front().gen)
            drop(c, -1, nullptr);  // told to quit long ago and still there
        quitting_.pop_front();
    }
}

// A player whose game is in its lobby and who has sent no key for --idle-seconds holds a
// place nobody else can take: dropped. A player who has checked in waits for the lobby's
// countdown, which starts the game by itself, and while its game is under way a player
// is never idle (watching is allowed); its time starts again back in the lobby.
void game_server::drop_idle_players(long long now)
{
    if (settings_.idle_ms <= 0 || now < idle_due_ms_)
        return;
    idle_due_ms_ = now + IDLE_CHECK_MS;
    for (conn &c : conns) {
        if (c.state != CS_PLAY)
            continue;
        const game &g = c.hg->g;
        if (!g.in_lobby() || g.cars[c.slot].status != PS_NONE)
            c.active_ms = now;
        else if (now - c.active_ms >= settings_.idle_ms)
            drop(c, DROPPED_IDLE, "no key pressed in the lobby");
    }
}

// ---- The check-in ----

static bool queue_word(out_queue &q, int32_t value)
{
    unsigned char w[4];
    put_be32(w, value);
    return q.push(w, 4);
}

static bool queue_text(out_queue &q, const char *text)
{
    int len = static_cast<int>(strlen(text)) + 1;  // the NUL travels too
    return queue_word(q, len) && q.push(text, static_cast<size_t>(len));
}

void game_server::greet(conn &c)
{
    const game_config &cfg = places.base();
    char text[1024];
    snprintf(text, sizeof text,
             "Welcome to Mazecar! Up to %d players, %d enemy cars, %d rounds.\n"
             "Take every flag in the maze: plain flags 100 points, \"L\" 200 and a spare car,\n"
             "\"S\" 200 and a full tank. Enemy cars and rocks burst your car; fuel drains.\n"
             "Keys in the lobby: SPACE checks in, S switches car control CLASSIC/MODERN.\n"
             "  MODERN: the arrow you press is where the car goes.\n"
             "  CLASSIC: UP drives, LEFT/RIGHT turn at the next crossing, DOWN turns round.\n"
             "Keys in play: SPACE lays smoke (costs fuel, stops enemies), Q pauses.\n"
             "To play with friends, all of you type your name as name@room (room: 1 to 8\n"
             "letters or digits); any other name joins the next free game. The name box\n"
             "holds 15 characters, name@room included: what goes past them is cut off.\n"
             "Your name: ",
             cfg.slots, cfg.enemies, cfg.rounds);
    queue_text(c.out, text);
    want_flush(c);
}

void game_server::read_name(conn &c)
{
    if (c.in_len < 4)
        return;
    int32_t len = get_be32(c.in);
    if (len < 1 || len > NAME_IN_MAX) {
        drop(c, DROPPED_BAD_INPUT, "name length out of range");
        return;
    }
    if (c.in_len >= 4 + len)
        finish_check_in(c, len);
}

// The answer to a name: the entry number, the number of places and a text. False when
// the client was dropped instead.
bool game_server::answer_check_in(conn &c, int slot, int place_count, const char *text)
{
    if (!queue_word(c.out, slot) || !queue_word(c.out, place_count) || !queue_text(c.out, text)) {
        drop(c, DROPPED_NOT_READING, "output queue full during check-in");
        return false;
    }
    want_flush(c);
    return true;
}

// The name message is complete: place the player in a game and answer.
void game_server::finish_check_in(conn &c, int name_len)
{
    char raw[NAME_IN_MAX + 1];
    memcpy(raw, c.in + 4, static_cast<size_t>(name_len));
    raw[name_len] = '\0';
    c.in_len -= 4 + name_len;
    memmove(c.in, c.in + 4 + name_len, static_cast<size_t>(c.in_len));

    if (check_in_to_watch(c, raw))
        return;
    std::string name, room;
    split_room(raw, name, room);
    if (!ask_fleet(c, raw, room))
        place_player(c, raw, false);
}

// Places the player in a game here and answers the name. A room opened here becomes this
// process's in the fleet's directory (claimed: the directory has just said so).
void game_server::place_player(conn &c, const char *typed, bool claimed)
{
    std::string name, room;
    split_room(typed, name, room);
    bool opens_room = fleet_ && !claimed && !room.empty() && !places.has_room(room);
    placed p{};
    if (!places.place(room, p)) {
        drop(c, REFUSED_GAMES, "no game has a free place");
        return;
    }
    touch(p.hg);  // a game just opened is closed again if this check-in fails
    if (opens_room && p.hg->room == room)
        fleet_->claim(room);
    const game_config &cfg = p.hg->g.cfg;
    char where[64] = "";
    if (!p.hg->room.empty())
        snprintf(where, sizeof where, " in room %s", p.hg->room.c_str());
    char text[512];
    snprintf(text, sizeof text,
             "%sYou are player %d of %d%s. Press SPACE in the game window to check in;\n"
             "a player who does not check in watches the game.\n",
             p.room_was_full ? "That room is full: you play in a quick-play game instead.\n" : "",
             p.slot + 1, cfg.slots, where);
    if (!answer_check_in(c, p.slot, cfg.slots, text))
        return;
    c.state = CS_PLAY;
    c.hg = p.hg;
    c.slot = p.slot;
    c.active_ms = monotonic_ms();
    p.hg->conn[p.slot] = index_of(c);
    p.hg->g.join(p.slot, name.c_str());
    log_.event("game %d: joined slot %d (%s) from %s", p.hg->id, p.slot, p.hg->g.cars[p.slot].name,
               c.addr_text);
}
