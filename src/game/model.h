// The client's whole copy of the game: car records, maze, smoke puffs and round
// figures. The server owns the game; this is only what it last told us. Everything
// here is static, fixed in size and zero at process start.
#pragma once

#include <cstdint>

#include "wire.h"

constexpr int SMOKE_FADE_FLOOR = 10;  // puffs shrink by one per tick of play down to this

// Game status (game_status); 8 is never used.
enum {
    GS_LOBBY = 0,
    GS_READY = 1,
    GS_PLAY = 2,
    GS_STAGE_CLEARED = 3,
    GS_ROUND_RESULT = 4,
    GS_FINAL_RESULT = 5,
    GS_LIVE = 6,
    GS_GAME_OVER = 7,
    GS_PAUSE = 9,
    GS_COUNT = 10,  // size of the status-handler table
};

// One car: 33 signed 32-bit words in host order. Words 15 to 23 and 25 to 32 are
// carried but never used by the client.
struct playerinfo {
    int32_t x, y;    // position, world units
    int32_t angle;   // heading in degrees
    int32_t status;  // PS_*
    int32_t fuel;    // FUEL_FULL is a full tank
    int32_t flags;   // flags taken this round
    int32_t lives;   // spare cars left
    int32_t wins;    // rounds won
    int32_t score;
    int32_t flags_game;     // flags taken in the whole game
    int32_t control;        // car-control mode
    char name[NAME_BYTES];  // as sent, normally NUL-terminated; never byte-swapped
    int32_t unused_15_23[9];
    int32_t keys;  // KEY_* bits of this client's keyboard (own record only)
    int32_t unused_25_32[8];
};
static_assert(sizeof(playerinfo) == 33 * sizeof(int32_t), "a car record is 33 words");

struct smokeinfo {
    int32_t x, y;  // world units
    int32_t size;  // 0 = empty
};

extern playerinfo players[MAXPLAYER];
extern playerinfo *me;  // &players[entry_no], set once by the check-in
extern int entry_no;
extern int8_t fieldmap[MAP_H][MAP_W];  // cell codes, read as signed bytes
extern smokeinfo smoke[SMOKE_MAX];

extern int game_status;
extern int status_count;
extern int round_no;
extern int hiscore;
extern int flags_total;
extern int flags_left;
extern int result_highlight;  // table index of the row the round result picks out
extern int Nclient;           // human players, from the check-in
extern int Nenemy;            // enemy cars, from the round information

// Returns the whole model to its state at process start. Tests, benchmarks and the
// fuzzing driver play many games in one process and start each from here.
void reset_model();

// Cars the server says there are (Nclient + Nenemy, without overflow); may be
// negative or above MAXPLAYER when the server says so.
int64_t cars_announced();

// Cars any loop over the table may visit: cars_announced() held to 0 .. MAXPLAYER.
int car_count();

// Position of the record among the first Nclient + Nenemy records; a record not
// among them gives Nclient + Nenemy.
int player_index(const playerinfo *record);

// True when the record is a car on the field: taking part and not retired.
bool car_on_field(const playerinfo *record);
