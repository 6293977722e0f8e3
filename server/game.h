// The game server's whole game: configuration, car table, maze, smoke, phase and the
// step function. Nothing here touches a socket: every message the game wants sent
// goes into the outbox (server/outbox.h), so tests drive the game directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "game/model.h"
#include "net/wire.h"

constexpr int TICK_HZ = 30;     // game steps per second
constexpr int HUMAN_SPEED = 8;  // world units per tick (3.75 cells a second)
constexpr int NOFUEL_SPEED = 3;
constexpr int ENEMY_SPEED = 6;  // round 1; one more per round, up to HUMAN_SPEED
constexpr int SPARE_CARS = 2;   // spare cars at the start of a game
constexpr int SPARE_CARS_MAX = 5;
constexpr int SMOKE_COST = 40;            // fuel per puff
constexpr int SMOKE_SIZE = 80;            // size sent for a fresh puff
constexpr int SMOKE_TICKS = 5 * TICK_HZ;  // life of a puff
constexpr int STUN_TICKS = 3 * TICK_HZ;   // an enemy in smoke stands still this long
constexpr int IMMUNE_TICKS = TICK_HZ;     // then ignores smoke this long
constexpr int BURST_TICKS = 2 * TICK_HZ;  // a burst car shows status 2 this long
constexpr int SAFE_TICKS = 3 * TICK_HZ;   // a fresh car cannot be hit this long
constexpr int HIT_RANGE = 48;             // cars closer than this on both axes collide
constexpr int ROCK_RANGE = 40;            // a car this close to a rock's centre bursts
constexpr int PUFF_RANGE = 40;            // an enemy this close to a puff is stopped
constexpr int FLAG_POINTS = 100;
constexpr int MARKED_FLAG_POINTS = 200;  // "L" and "S" flags
constexpr int RECORD_PERIOD = 8;         // ticks between full records, map, round info
constexpr int SMOKE_PERIOD = 3;          // ticks between smoke tables
constexpr int CONTROL_MODERN = 0;

struct game_config {
    int slots;          // human places, fixed for the server's life (Nclient)
    int enemies;        // enemy cars (Nenemy)
    int rounds;         // rounds per game
    int lobby_seconds;  // countdown after the first check-in
    int flags;          // flags per round, the "L" and "S" flags among them
    uint32_t seed;
    int wait_ticks;  // ticks of one "second" of waiting between phases
};

// Phases of the server's game. They map onto the client's statuses through the
// messages that start them.
enum {
    PH_LOBBY,
    PH_READY,
    PH_PLAY,
    PH_PAUSE,
    PH_STAGE_CLEAR,
    PH_ROUND_RESULT,
    PH_GAME_OVER,
    PH_FINAL_RESULT,
};

// Headings in the order of the car's angle: angle = heading × 90 degrees
// counter-clockwise from "up" (towards smaller y).
enum { DIR_UP, DIR_LEFT, DIR_DOWN, DIR_RIGHT };

struct car {
    // The words of the wire record.
    int32_t x, y, angle, status, fuel, flags, lives, wins, score, flags_game, control;
    char name[NAME_BYTES];
    // The server's own.
    bool connected;  // a client holds this human slot
    bool in_game;    // this human takes part in the current game
    int heading;     // DIR_*
    bool moving;
    int wish;         // MODERN: heading of the last arrow pressed, -1 none
    int turn;         // CLASSIC: quarter turns waiting for the next crossing (+1 left, -1 right)
    int32_t keys;     // keys held
    int32_t presses;  // keys pressed since the last step
    int burst_ticks, safe_ticks, stun_ticks, immune_ticks;
    int home_x, home_y;  // start cell
};

extern game_config cfg;
extern car cars[MAXPLAYER];
extern int8_t field[MAP_H][MAP_W];
extern smokeinfo puffs[SMOKE_MAX];
extern int puff_ticks[SMOKE_MAX];
extern int phase;
extern int phase_ticks;  // ticks left in a timed phase
extern int lobby_ticks;  // ticks of lobby countdown left; -1 while it is not running
extern int round_no;
extern int flags_total;
extern int flags_left;
extern int hiscore;
extern int highlight;  // slot of the last round's best player, -1 none
extern uint32_t rng_state;

// Cars on the wire: the human slots, then the enemies.
int car_total();
bool is_enemy(int i);

// Starts the server's game in the lobby with an empty table.
void game_init(const game_config &config);

// A client took the human slot (after its check-in) / left it. Leaving during a game
// retires the car; the slot is free again once the game is over.
void game_join(int slot, const char *name);
void game_leave(int slot);
bool game_slot_free(int slot);

// The key word a client sent.
void game_keys(int slot, int32_t keys);

// One step of the game: 1/TICK_HZ of a second.
void game_tick();

// A text line per car and one for the game, for tests and the status file.
int game_describe(char *buf, size_t size);

// Deterministic random numbers from the seed: 0 .. n-1.
int rng_below(int n);
