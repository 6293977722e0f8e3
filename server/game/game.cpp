// The game's phases: lobby with check-in and countdown, the ready countdown, play,
// pause, stage cleared, results, game over; and what each transition sends.
//
// Messages per client and second: TAG_PLAYERINFO every tick of play (30); map,
// round information, full records and high score each at most every RECORD_PERIOD
// ticks and only when changed (at most 4 × 3.75 = 15); smoke at most every
// SMOKE_PERIOD ticks and only when changed (10); status messages one at a time,
// seconds apart. At most about 55 a second, well under the client's 100.
#include "game/game.h"

#include <cstdio>
#include <cstring>

#include "log.h"

static const char *const phase_names[] = {
    "lobby",        "ready",     "play",      "pause",        "stage_clear",
    "round_result", "game_over", "recording", "final_result",
};

int game::rng_below(int n)
{
    // xorshift32: small, fast, and the same sequence on every machine.
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 17;
    rng_state ^= rng_state << 5;
    return n > 0 ? static_cast<int>(rng_state % static_cast<uint32_t>(n)) : 0;
}

game::game(const game_config &config, int best_score, std::shared_ptr<path_scratch> scratch)
    : cfg(config), scratch_(scratch ? std::move(scratch) : std::make_shared<path_scratch>())
{
    if (cfg.slots < 1)
        cfg.slots = 1;
    if (cfg.slots > MAXPLAYER)
        cfg.slots = MAXPLAYER;
    if (cfg.enemies < 0)
        cfg.enemies = 0;
    if (cfg.enemies > MAXPLAYER - cfg.slots)
        cfg.enemies = MAXPLAYER - cfg.slots;
    if (cfg.rounds < 1)
        cfg.rounds = 1;
    if (cfg.flags < 1)
        cfg.flags = 1;
    if (cfg.wait_ticks < 1)
        cfg.wait_ticks = 1;
    if (cfg.lobby_seconds < 0)
        cfg.lobby_seconds = 0;
    memset(cars, 0, sizeof cars);
    memset(field, CELL_WALL, sizeof field);
    memset(puffs, 0, sizeof puffs);
    memset(minds, 0, sizeof minds);
    for (int i = cfg.slots; i < car_total(); i++)
        snprintf(cars[i].name, NAME_BYTES, "enemy %c", static_cast<char>('1' + i - cfg.slots));
    phase = PH_LOBBY;
    phase_ticks = 0;
    lobby_ticks = -1;
    lobby_announced = 0;
    round_no = 0;
    flags_total = flags_left = 0;
    hiscore = best_score > 0 ? best_score : 0;
    highlight = -1;
    pauser = -1;
    pause_ticks = 0;
    rng_state = cfg.seed ? cfg.seed : 0x9e3779b9u;
    records_dirty = map_dirty = round_dirty = smoke_dirty = hiscore_dirty = false;
    record_wait = smoke_wait = ready_count = 0;
}

void game::log_player(const char *text, int slot) const
{
    if (log)
        log->event("game %d: %s %d (%s)", id, text, slot, cars[slot].name);
}

// Copies the name up to its NUL, at most 15 characters, printable ASCII only.
void game::set_name(car &c, const char *name, int slot)
{
    memset(c.name, 0, NAME_BYTES);
    int n = 0;
    for (; name && name[n] && n < NAME_BYTES - 1; n++) {
        unsigned char ch = static_cast<unsigned char>(name[n]);
        c.name[n] = ch >= 0x20 && ch < 0x7f ? static_cast<char>(ch) : '?';
    }
    if (n == 0)
        snprintf(c.name, NAME_BYTES, "player %c", static_cast<char>('1' + slot));
}

int game::countdown_seconds() const
{
    return (lobby_ticks + TICK_HZ - 1) / TICK_HZ;
}

void game::join(int slot, const char *name)
{
    if (!human_slot(slot) || !place_free(slot))
        return;
    car &c = cars[slot];
    memset(&c, 0, sizeof c);
    set_name(c, name, slot);
    c.connected = true;
    c.control = CONTROL_MODERN;
    c.wish = -1;
    tape_event(REPLAY_JOIN, slot, c.name, 0);
    follow_leader();
    send_roundinfo(slot);
    send_hiscore(slot);
    send_playerinfo2(slot);
    records_dirty = true;
    if (phase == PH_LOBBY) {
        send_word(slot, TAG_LOBBY, lobby_ticks > 0 ? countdown_seconds() : -1);
        return;
    }
    send_map(slot);
    send_smoke(slot);
    send_bare(slot, TAG_LIVE);
}

int game::checked_in_count(int *connected) const
{
    int checked = 0, conn = 0;
    for (int i = 0; i < cfg.slots; i++) {
        conn += cars[i].connected;
        checked += cars[i].connected && cars[i].status != PS_NONE;
    }
    if (connected)
        *connected = conn;
    return checked;
}

void game::leave(int slot)
{
    if (!human_slot(slot) || !cars[slot].connected)
        return;
    car &c = cars[slot];
    log_player("left slot", slot);
    out.discard(slot);  // nobody will read them; a newcomer on the place gets its own
    c.connected = false;
    c.keys = c.presses = 0;
    tape_event(REPLAY_LEAVE, slot, nullptr, 0);
    records_dirty = true;
    if (slot == pauser && phase == PH_PAUSE)
        resume();
    if (phase != PH_LOBBY && c.in_game) {
        c.status = PS_RETIRED;
        c.moving = false;
        return;
    }
    memset(&c, 0, sizeof c);
}

bool game::place_free(int slot) const
{
    if (!human_slot(slot) || cars[slot].connected)
        return false;
    return phase == PH_LOBBY || !cars[slot].in_game;
}

int game::free_place() const
{
    for (int s = 0; s < cfg.slots; s++)
        if (place_free(s))
            return s;
    return -1;
}

int game::connected_count() const
{
    int n = 0;
    for (int i = 0; i < cfg.slots; i++)
        n += cars[i].connected;
    return n;
}

int game::watcher_count() const
{
    int n = 0;
    for (int i = 0; i < cfg.slots; i++) {
        const car &c = cars[i];
        bool plays = phase == PH_LOBBY ? c.status != PS_NONE : c.in_game && c.status != PS_RETIRED;
        n += c.connected && !plays;
    }
    return n;
}

void game::raise_hiscore(int score)
{
    if (score > hiscore) {
        hiscore = score;
        hiscore_dirty = true;
        tape_event(REPLAY_HISCORE, -1, nullptr, score);
    }
}

void game::keys(int slot, int32_t word)
{
    if (!human_slot(slot) || !cars[slot].connected)
        return;
    take_keys(cars[slot], word & KEYS_KNOWN);
}

// A client's key word and a rival's go in here alike.
void game::take_keys(car &c, int32_t word)
{
    c.presses |= word & ~c.keys;
    c.keys = word;
}

// The high score is people's: a rival's score never raises it.
void game::note_score(car &c)
{
    if (!c.rival && c.score > hiscore) {
        hiscore = c.score;
        hiscore_dirty = true;
    }
}

void game::clear_smoke()
{
    memset(puffs, 0, sizeof puffs);
}

void game::send_round_setup()
{
    send_roundinfo(TO_ALL);
    send_map(TO_ALL);
    send_playerinfo2(TO_ALL);
    send_smoke(TO_ALL);
    records_dirty = map_dirty = round_dirty = smoke_dirty = false;
}

void game::start_round()
{
    round_no++;
    // Out of the lobby first: in the lobby every place follows the leader, which put
    // every car of the first round on the first player's start.
    phase = PH_READY;
    build_maze(round_no);
    clear_smoke();
    for (int i = 0; i < car_total(); i++) {
        car &c = cars[i];
        c.flags = 0;
        if (is_enemy(i)) {
            place_enemy(i);
        } else if (c.in_game && c.status != PS_RETIRED) {
            place_human(i);
        }
    }
    follow_leader();
    phase_ticks = cfg.wait_ticks;
    ready_count = 3;
    if (log)
        log->event("game %d: round %d, %d flags", id, round_no, flags_total);
    send_round_setup();
    // Ready 0 puts the play screen up (it shows "READY  3"); watchers go to the
    // watch screen. Selecting the play screen clears the client's flag total, so the
    // round information follows it again to bring the flag icons back.
    send_word(TO_ALL, TAG_READY, 0);
    send_roundinfo(TO_ALL);
    for (int i = 0; i < cfg.slots; i++)
        if (cars[i].connected && !cars[i].in_game)
            send_bare(i, TAG_LIVE);
}

// A game begins from the places' names, controls, keys held and check-ins alone
// (nothing an earlier game left in a car counts), which is all its replay notes.
void game::start_game()
{
    tape_start();
    for (int i = 0; i < cfg.slots; i++) {
        car &c = cars[i];
        car kept = c;
        memset(&c, 0, sizeof c);
        memcpy(c.name, kept.name, NAME_BYTES);
        c.connected = kept.connected;
        c.control = kept.control;
        c.keys = kept.keys;
        c.presses = kept.presses;
        c.wish = -1;
        c.in_game = c.connected && kept.status != PS_NONE;
        c.status = c.in_game ? PS_DRIVE : PS_NONE;
        c.lives = c.in_game ? SPARE_CARS : 0;
    }
    field_version = 0;
    seat_rivals();
    highlight = -1;
    pauser = -1;
    round_no = 0;
    rounds_played.clear();
    lobby_ticks = -1;
    start_round();
}

void game::lobby_step()
{
    for (int i = 0; i < cfg.slots; i++) {
        car &c = cars[i];
        if (!c.connected)
            continue;
        if ((c.presses & KEY_SPACE) && c.status == PS_NONE) {
            c.status = PS_DRIVE;
            records_dirty = true;
            log_player("checked in, slot", i);
        }
        if (c.presses & KEY_S) {
            c.control = c.control == CONTROL_CLASSIC ? CONTROL_MODERN : CONTROL_CLASSIC;
            records_dirty = true;
        }
    }
    int connected = 0;
    int checked = checked_in_count(&connected);
    if (checked == 0) {
        if (lobby_ticks >= 0)
            send_word(TO_ALL, TAG_LOBBY, 0);
        lobby_ticks = -1;
        return;
    }
    if (lobby_ticks < 0) {
        lobby_ticks = cfg.lobby_seconds * TICK_HZ;
        lobby_announced = 0;
    }
    // Everyone in: no need to wait out the whole countdown.
    if (checked == connected && lobby_ticks > 3 * TICK_HZ)
        lobby_ticks = 3 * TICK_HZ;
    if (lobby_ticks <= 0) {
        start_game();
        return;
    }
    if (countdown_seconds() != lobby_announced) {
        lobby_announced = countdown_seconds();
        send_word(TO_ALL, TAG_LOBBY, lobby_announced);
    }
    lobby_ticks--;
}

// No person plays on: rivals alone never keep a game going.
bool game::all_humans_out() const
{
    for (int i = 0; i < cfg.slots; i++)
        if (person_in_game(i) && cars[i].status != PS_RETIRED)
            return false;
    return true;
}

// The round's outcome, for the game's record.
void game::note_round(int winner)
{
    if (static_cast<int>(rounds_played.size()) < ROUNDS_MAX)
        rounds_played.push_back(round_note{round_no, winner, flags_total - flags_left});
}

// A round's end, by game over or a cleared stage: its message and every car's full
// record to all, then the phase's wait.
void game::close_round(int next_phase, int tag)
{
    phase = next_phase;
    phase_ticks = 3 * cfg.wait_ticks;
    send_bare(TO_ALL, tag);
    send_playerinfo2(TO_ALL);
    records_dirty = false;
}

void game::enter_game_over()
{
    note_round(-1);
    close_round(PH_GAME_OVER, TAG_GAME_OVER);
    if (log)
        log->event("game %d: game over", id);
}

// The round's best player: most flags this round, then score, then the lower slot.
int game::round_best() const
{
    int best = -1;
    for (int i = 0; i < cfg.slots; i++) {
        const car &c = cars[i];
        if (!c.in_game || c.flags == 0)
            continue;
        if (best < 0 || c.flags > cars[best].flags ||
            (c.flags == cars[best].flags && c.score > cars[best].score))
            best = i;
    }
    return best;
}

void game::enter_stage_clear()
{
    for (int i = 0; i < cfg.slots; i++) {
        car &c = cars[i];
        // What is left in the tank pays, to a car that took part in the clearing.
        if (c.in_game && c.status != PS_RETIRED && c.flags > 0) {
            c.score += c.fuel / 10;
            note_score(c);
        }
    }
    highlight = round_best();
    if (highlight >= 0)
        cars[highlight].wins++;
    note_round(highlight);
    close_round(PH_STAGE_CLEAR, TAG_STAGE_CLEAR);
    if (log)
        log->event("game %d: round %d cleared", id, round_no);
}

// The game is over: with a store open, the final result waits until the game's
// record is safely written (record_done), so whoever saw it can find it there.
void game::enter_recording()
{
    phase = PH_RECORDING;
    if (!cfg.await_record)
        enter_final_result();
}

void game::record_done()
{
    if (phase == PH_RECORDING)
        enter_final_result();
}

void game::enter_final_result()
{
    phase = PH_FINAL_RESULT;
    phase_ticks = FINAL_RESULT_WAITS * cfg.wait_ticks;
    send_playerinfo2(TO_ALL);
    send_bare(TO_ALL, TAG_FINAL_RESULT);
    records_dirty = false;
}

void game::back_to_lobby()
{
    phase = PH_LOBBY;
    lobby_ticks = -1;
    clear_smoke();
    for (int i = 0; i < car_total(); i++) {
        car &c = cars[i];
        if (is_enemy(i)) {
            c.status = PS_NONE;
            continue;
        }
        if (!c.connected) {
            memset(&c, 0, sizeof c);
            continue;
        }
        c.in_game = false;
        c.status = PS_NONE;
        c.moving = false;
        c.flags = 0;
    }
    send_playerinfo2(TO_ALL);
    send_word(TO_ALL, TAG_LOBBY, -1);
    records_dirty = false;
}

// The lowest place of a player in the game who pressed Q this step, -1 none.
int game::q_presser() const
{
    for (int i = 0; i < cfg.slots; i++)
        if (cars[i].connected && cars[i].in_game && (cars[i].presses & KEY_Q))
            return i;
    return -1;
}

// Each player may pause a few times a game, and a pause ends by itself, so no one
// player can hold a game still for the others.
void game::pause(int slot)
{
    if (cars[slot].pauses >= PAUSES_PER_GAME)
        return;
    cars[slot].pauses++;
    phase = PH_PAUSE;
    pauser = slot;
    pause_ticks = 0;
    send_bare(TO_ALL, TAG_PAUSE);
}

void game::resume()
{
    phase = PH_PLAY;
    pauser = -1;
    send_bare(TO_ALL, TAG_PAUSE);
}

void game::ready_step()
{
    if (all_humans_out()) {
        enter_game_over();
        return;
    }
    if (--phase_ticks > 0)
        return;
    ready_count--;
    phase_ticks = cfg.wait_ticks;
    if (ready_count > 0) {
        send_word(TO_ALL, TAG_READY, ready_count);
        return;
    }
    phase = PH_PLAY;
    send_word(TO_ALL, TAG_START, round_no);
}

void game::play_step()
{
    int q = q_presser();
    if (q >= 0 && cars[q].pauses < PAUSES_PER_GAME) {
        pause(q);
        return;
    }
    drive_all();
    follow_leader();
    send_playerinfo(TO_ALL);
    if (flags_left <= 0)
        enter_stage_clear();
    else if (all_humans_out())
        enter_game_over();
}

void game::pause_step()
{
    if (all_humans_out()) {
        enter_game_over();
        return;
    }
    if (q_presser() >= 0 || ++pause_ticks >= PAUSE_TICKS_MAX)
        resume();
}

void game::timed_step()
{
    if (--phase_ticks > 0)
        return;
    switch (phase) {
    case PH_STAGE_CLEAR:
        phase = PH_ROUND_RESULT;
        phase_ticks = 5 * cfg.wait_ticks;
        send_playerinfo2(TO_ALL);
        send_word(TO_ALL, TAG_ROUND_RESULT, highlight);
        records_dirty = false;
        break;
    case PH_ROUND_RESULT:
        if (round_no >= cfg.rounds)
            enter_recording();
        else
            start_round();
        break;
    case PH_GAME_OVER: enter_recording(); break;
    case PH_RECORDING: break;
    default: back_to_lobby(); break;
    }
}

// Changed records, map, round figures and smoke go out, no more often than their
// periods allow.
void game::send_changes()
{
    if (record_wait > 0)
        record_wait--;
    if (smoke_wait > 0)
        smoke_wait--;
    if (record_wait == 0 && (records_dirty || map_dirty || round_dirty || hiscore_dirty)) {
        if (map_dirty)
            send_map(TO_ALL);
        if (round_dirty)
            send_roundinfo(TO_ALL);
        if (records_dirty)
            send_playerinfo2(TO_ALL);
        if (hiscore_dirty)
            send_hiscore(TO_ALL);
        records_dirty = map_dirty = round_dirty = hiscore_dirty = false;
        record_wait = RECORD_PERIOD;
    }
    if (smoke_wait == 0 && smoke_dirty) {
        send_smoke(TO_ALL);
        smoke_dirty = false;
        smoke_wait = SMOKE_PERIOD;
    }
}

void game::step()
{
    tape_keys();
    if (phase != PH_LOBBY)
        rivals_step();
    switch (phase) {
    case PH_LOBBY: lobby_step(); break;
    case PH_READY: ready_step(); break;
    case PH_PLAY: play_step(); break;
    case PH_PAUSE: pause_step(); break;
    case PH_RECORDING: break;
    default: timed_step(); break;
    }
    send_changes();
    for (int i = 0; i < cfg.slots; i++)
        cars[i].presses = 0;
    tape_step_done();
}

const char *game::phase_name() const
{
    return phase_names[phase];
}

int game::describe(char *buf, size_t size) const
{
    if (size == 0)
        return 0;
    size_t used = 0;
    int n = snprintf(buf, size, "phase %s round %d flags_left %d lobby %d hiscore %d\n",
                     phase_names[phase], round_no, flags_left, lobby_ticks, hiscore);
    used = n > 0 ? static_cast<size_t>(n) : 0;
    for (int i = 0; i < car_total() && used < size; i++) {
        const car &c = cars[i];
        n = snprintf(buf + used, size - used,
                     "car %d %s status %d x %d y %d angle %d fuel %d flags %d score %d lives %d "
                     "control %d name %s\n",
                     i,
                     is_enemy(i) ? "enemy"
                     : c.rival   ? "rival"
                                 : "human",
                     c.status, c.x, c.y, c.angle, c.fuel, c.flags, c.score, c.lives, c.control,
                     c.name);
        if (n > 0)
            used += static_cast<size_t>(n);
    }
    return static_cast<int>(used < size ? used : size - 1);
}
