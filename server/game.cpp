// The game's phases: lobby with check-in and countdown, the ready countdown, play,
// pause, stage cleared, results, game over; and what each transition sends.
//
// Messages per client and second: TAG_PLAYERINFO every tick of play (30); map,
// round information, full records and high score each at most every RECORD_PERIOD
// ticks and only when changed (at most 4 × 3.75 = 15); smoke at most every
// SMOKE_PERIOD ticks and only when changed (10); status messages one at a time,
// seconds apart. At most about 55 a second, well under the client's 100.
#include "game.h"

#include <cstdio>
#include <cstring>

#include "drive.h"
#include "maze.h"
#include "outbox.h"

game_config cfg;
car cars[MAXPLAYER];
int8_t field[MAP_H][MAP_W];
smokeinfo puffs[SMOKE_MAX];
int puff_ticks[SMOKE_MAX];
int phase;
int phase_ticks;
int lobby_ticks;
int round_no;
int flags_total;
int flags_left;
int hiscore;
int highlight;
uint32_t rng_state;

bool records_dirty, map_dirty, round_dirty, smoke_dirty, hiscore_dirty;
static int record_wait, smoke_wait;
static int ready_count;
static int lobby_announced;

static const char *const phase_names[] = {
    "lobby", "ready", "play", "pause", "stage_clear", "round_result", "game_over", "final_result",
};

int rng_below(int n)
{
    // xorshift32: small, fast, and the same sequence on every machine.
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 17;
    rng_state ^= rng_state << 5;
    return n > 0 ? static_cast<int>(rng_state % static_cast<uint32_t>(n)) : 0;
}

int car_total()
{
    return cfg.slots + cfg.enemies;
}

bool is_enemy(int i)
{
    return i >= cfg.slots && i < car_total();
}

static bool human_slot(int slot)
{
    return slot >= 0 && slot < cfg.slots;
}

void game_init(const game_config &config)
{
    cfg = config;
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
    memset(puff_ticks, 0, sizeof puff_ticks);
    for (int i = cfg.slots; i < car_total(); i++)
        snprintf(cars[i].name, NAME_BYTES, "enemy %c", static_cast<char>('1' + i - cfg.slots));
    phase = PH_LOBBY;
    phase_ticks = 0;
    lobby_ticks = -1;
    lobby_announced = 0;
    round_no = 0;
    flags_total = flags_left = 0;
    hiscore = 0;
    highlight = -1;
    rng_state = cfg.seed ? cfg.seed : 0x9e3779b9u;
    records_dirty = map_dirty = round_dirty = smoke_dirty = hiscore_dirty = false;
    record_wait = smoke_wait = 0;
    outbox_clear();
}

static void log_line(const char *text, int slot)
{
    printf("mazecar-server: %s %d (%s)\n", text, slot, cars[slot].name);
    fflush(stdout);
}

// Copies the name up to its NUL, at most 15 characters, printable ASCII only.
static void set_name(car &c, const char *name, int slot)
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

static int countdown_seconds()
{
    return (lobby_ticks + TICK_HZ - 1) / TICK_HZ;
}

void game_join(int slot, const char *name)
{
    if (!human_slot(slot) || !game_slot_free(slot))
        return;
    car &c = cars[slot];
    memset(&c, 0, sizeof c);
    set_name(c, name, slot);
    c.connected = true;
    c.control = CONTROL_MODERN;
    c.wish = -1;
    log_line("joined slot", slot);
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

static int checked_in_count(int *connected)
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

void game_leave(int slot)
{
    if (!human_slot(slot) || !cars[slot].connected)
        return;
    car &c = cars[slot];
    log_line("left slot", slot);
    c.connected = false;
    c.keys = c.presses = 0;
    records_dirty = true;
    if (phase != PH_LOBBY && c.in_game) {
        c.status = PS_RETIRED;
        c.moving = false;
        return;
    }
    memset(&c, 0, sizeof c);
}

bool game_slot_free(int slot)
{
    if (!human_slot(slot) || cars[slot].connected)
        return false;
    return phase == PH_LOBBY || !cars[slot].in_game;
}

void game_keys(int slot, int32_t keys)
{
    if (!human_slot(slot) || !cars[slot].connected)
        return;
    car &c = cars[slot];
    c.presses |= keys & ~c.keys;
    c.keys = keys;
}

void note_score(car &c)
{
    if (c.score > hiscore) {
        hiscore = c.score;
        hiscore_dirty = true;
    }
}

static void clear_smoke()
{
    memset(puffs, 0, sizeof puffs);
    memset(puff_ticks, 0, sizeof puff_ticks);
}

static void send_round_setup()
{
    send_roundinfo(TO_ALL);
    send_map(TO_ALL);
    send_playerinfo2(TO_ALL);
    send_smoke(TO_ALL);
    records_dirty = map_dirty = round_dirty = smoke_dirty = false;
}

static void start_round()
{
    round_no++;
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
    phase = PH_READY;
    phase_ticks = cfg.wait_ticks;
    ready_count = 3;
    printf("mazecar-server: round %d, %d flags\n", round_no, flags_total);
    fflush(stdout);
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

static void start_game()
{
    for (int i = 0; i < cfg.slots; i++) {
        car &c = cars[i];
        c.in_game = c.connected && c.status != PS_NONE;
        c.status = c.in_game ? PS_DRIVE : PS_NONE;
        c.lives = c.in_game ? SPARE_CARS : 0;
        c.wins = c.score = c.flags = c.flags_game = 0;
    }
    highlight = -1;
    round_no = 0;
    lobby_ticks = -1;
    start_round();
}

static void lobby_step()
{
    for (int i = 0; i < cfg.slots; i++) {
        car &c = cars[i];
        if (!c.connected)
            continue;
        if ((c.presses & KEY_SPACE) && c.status == PS_NONE) {
            c.status = PS_DRIVE;
            records_dirty = true;
            log_line("checked in, slot", i);
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

static bool all_humans_out()
{
    for (int i = 0; i < cfg.slots; i++)
        if (cars[i].in_game && cars[i].status != PS_RETIRED)
            return false;
    return true;
}

static void enter_game_over()
{
    phase = PH_GAME_OVER;
    phase_ticks = 3 * cfg.wait_ticks;
    send_bare(TO_ALL, TAG_GAME_OVER);
    send_playerinfo2(TO_ALL);
    records_dirty = false;
    printf("mazecar-server: game over\n");
    fflush(stdout);
}

// The round's best player: most flags this round, then score, then the lower slot.
int round_best()
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

static void enter_stage_clear()
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
    phase = PH_STAGE_CLEAR;
    phase_ticks = 3 * cfg.wait_ticks;
    send_bare(TO_ALL, TAG_STAGE_CLEAR);
    send_playerinfo2(TO_ALL);
    records_dirty = false;
    printf("mazecar-server: round %d cleared\n", round_no);
    fflush(stdout);
}

static void enter_final_result()
{
    phase = PH_FINAL_RESULT;
    phase_ticks = 6 * cfg.wait_ticks;
    send_playerinfo2(TO_ALL);
    send_bare(TO_ALL, TAG_FINAL_RESULT);
    records_dirty = false;
}

static void back_to_lobby()
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

static bool q_pressed()
{
    for (int i = 0; i < cfg.slots; i++)
        if (cars[i].connected && cars[i].in_game && (cars[i].presses & KEY_Q))
            return true;
    return false;
}

static void ready_step()
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

static void play_step()
{
    if (q_pressed()) {
        phase = PH_PAUSE;
        send_bare(TO_ALL, TAG_PAUSE);
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

static void pause_step()
{
    if (all_humans_out()) {
        enter_game_over();
        return;
    }
    if (q_pressed()) {
        phase = PH_PLAY;
        send_bare(TO_ALL, TAG_PAUSE);
    }
}

static void timed_step()
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
            enter_final_result();
        else
            start_round();
        break;
    case PH_GAME_OVER: enter_final_result(); break;
    default: back_to_lobby(); break;
    }
}

// Changed records, map, round figures and smoke go out, no more often than their
// periods allow.
static void send_changes()
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

void game_tick()
{
    switch (phase) {
    case PH_LOBBY: lobby_step(); break;
    case PH_READY: ready_step(); break;
    case PH_PLAY: play_step(); break;
    case PH_PAUSE: pause_step(); break;
    default: timed_step(); break;
    }
    send_changes();
    for (int i = 0; i < cfg.slots; i++)
        cars[i].presses = 0;
}

int game_describe(char *buf, size_t size)
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
                     i, is_enemy(i) ? "enemy" : "human", c.status, c.x, c.y, c.angle, c.fuel,
                     c.flags, c.score, c.lives, c.control, c.name);
        if (n > 0)
            used += static_cast<size_t>(n);
    }
    return static_cast<int>(used < size ? used : size - 1);
}
