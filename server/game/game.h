// One game: configuration, car table, maze, smoke, phase, counters, random state and
// the messages it wants sent. A game is a value: the server holds one per running
// game, and tests, fuzzers and benchmarks make their own. Nothing here touches a
// socket or a clock: a step is a function of the game's state and the keys it was
// given, so the same seed and the same keys give the same game.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "game/maze.h"
#include "game/outbox.h"
#include "wire.h"

class server_log;

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
constexpr int PAUSE_TICKS_MAX = 30 * TICK_HZ;  // a pause ends by itself after this
constexpr int PAUSES_PER_GAME = 3;             // pauses one player may start in a game
constexpr int ROUNDS_MAX = 99;
constexpr int FLAGS_MAX = 40;          // flags per round
constexpr int FINAL_RESULT_WAITS = 6;  // "seconds" (wait_ticks) the final result is shown
constexpr int32_t KEYS_KNOWN = 0x7f;   // the key bits a game reads; others are dropped

struct game_config {
    int slots;          // human places, fixed for the game's life (Nclient)
    int enemies;        // enemy cars (Nenemy)
    int rounds;         // rounds per game
    int lobby_seconds;  // countdown after the first check-in
    int flags;          // flags per round, the "L" and "S" flags among them
    uint32_t seed;
    int wait_ticks;                // ticks of one "second" of waiting between phases
    bool await_record;             // hold the final result until record_done() (a store is open)
    int rivals = 0;                // free human places computer rivals take when a game starts
    bool rivals_in_rooms = false;  // rooms get rivals too (placement reads it)
};

constexpr int RIVALS_MAX = MAXPLAYER - 1;  // a game always holds a person
constexpr int RIVAL_LINE = 8;              // ticks a rival's key words may wait to land

// Phases of a game. They map onto the client's statuses through the messages that
// start them. PH_RECORDING holds the final result back until the game's record is
// safely stored.
enum {
    PH_LOBBY,
    PH_READY,
    PH_PLAY,
    PH_PAUSE,
    PH_STAGE_CLEAR,
    PH_ROUND_RESULT,
    PH_GAME_OVER,
    PH_RECORDING,
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
    bool connected;  // a client holds this human place
    bool in_game;    // this human takes part in the current game
    bool rival;      // a computer rival holds this human place for the current game
    int heading;     // DIR_*
    bool moving;
    int wish;         // MODERN: heading of the last arrow pressed, -1 none
    int turn;         // CLASSIC: quarter turns waiting for the next crossing (+1 left, -1 right)
    int32_t keys;     // keys held
    int32_t presses;  // keys pressed since the last step
    int burst_ticks, safe_ticks, stun_ticks, immune_ticks;
    int pauses;  // pauses this player started in this game
};

// The heading opposite dir (DIR_* order: up, left, down, right).
constexpr int opposite(int dir)
{
    return (dir + 2) & 3;
}

// The car stands on a cell's centre, where it may turn.
inline bool at_centre(const car &c)
{
    return c.x % CELL_SIZE == CELL_SIZE / 2 && c.y % CELL_SIZE == CELL_SIZE / 2;
}

struct puff {
    int32_t x, y, size;  // the wire entry; size 0 = empty
    int ticks;           // life left
};

// The replay of the game under way (replay.cpp): the state it began from and every
// input the game took since, step by step, so that the same game can be played again.
struct replay_tape {
    std::string bytes;       // the start, then the inputs; empty while nothing is recorded
    size_t max_bytes = 0;    // 0: no replays; longer recordings are given up
    bool recording = false;  // a game under way is being recorded
    bool cut = false;        // this game's recording passed max_bytes and was given up
    long step = 0;           // the step the next input belongs to, counted from the start
    long last = 0;           // the step of the last input written
    int32_t keys[MAXPLAYER], presses[MAXPLAYER];  // each place's keys as last written
};

// What a replay holds after its start, each entry after the number of steps since the
// one before: a place's keys (the code is the place), a join, a leave, a better high
// score from elsewhere, and the end (the step at which the game was kept).
enum { REPLAY_KEYS = 0, REPLAY_JOIN = MAXPLAYER, REPLAY_LEAVE, REPLAY_HISCORE, REPLAY_END };
// First byte of a replay. 2: the start notes the rivals, and round 1 seats every car on
// its own start; a replay of format 1 was made under other rules and is not played.
constexpr int REPLAY_FORMAT = 2;
constexpr long REPLAY_STEPS_MAX = 24L * 3600 * TICK_HZ;  // a longer game keeps no replay

// A rival's mind: what it means to press, and the key words on their way to its car
// (a reaction delay), with its own random state drawn from the game's.
struct rival_mind {
    uint32_t rng;
    int delay;         // reaction delay in ticks, below RIVAL_LINE
    int glance_ticks;  // ticks between looks around
    unsigned tick;
    int32_t intent;  // the keys it holds in mind now
    int32_t line[RIVAL_LINE];
    int plan_x, plan_y;     // the crossing the intent is for; -1 none
    int glance;             // ticks to the next look around
    int smoke_wait;         // ticks before it may lay smoke again
    int target;             // cell (y * MAP_W + x) of the flag it drives to; -1 none
    int retarget;           // ticks before it weighs the flags again
    unsigned seen_version;  // the field as it last saw it (field_version)
};

// What one round left behind, for the game's record.
struct round_note {
    int number;
    int winner;  // human place of the round's best player, -1 none
    int flags;   // flags of the round
};

class game {
public:
    // scratch: the path maps of a step, shared by games that step one after another on
    // one thread; a game given none makes its own.
    explicit game(const game_config &config, int best_score = 0,
                  std::shared_ptr<path_scratch> scratch = nullptr);

    // The connection layer's side: a client took a free human place (after its
    // check-in) or left it; the key word it sent; one step of 1/TICK_HZ second.
    // Leaving during a game retires the car; the place is free again once the game
    // is over.
    void join(int slot, const char *name);
    void leave(int slot);
    void keys(int slot, int32_t word);
    void step();
    bool place_free(int slot) const;
    int free_place() const;  // the lowest free place, -1 none
    int connected_count() const;
    int watcher_count() const;  // connected places whose car takes no part
    bool in_lobby() const { return phase == PH_LOBBY; }
    // A game is under way (its record is worth keeping when everyone leaves).
    bool under_way() const { return phase != PH_LOBBY && round_no > 0; }
    // The final result may go out: the record is stored (or could not be).
    void record_done();
    // A better score from elsewhere (another game, the records store) becomes the
    // high score shown here.
    void raise_hiscore(int score);
    // Replays (replay.cpp): from now on each game under way records its start and its
    // inputs, up to max_bytes (0 stops recording). take_replay ends the recording of
    // the game under way and gives it, "" when there is none or it was given up.
    void record_replays(size_t max_bytes);
    std::string take_replay();
    bool replay_cut() const { return tape_.cut; }
    long replay_steps() const { return tape_.step; }

    int car_total() const { return cfg.slots + cfg.enemies; }
    bool is_enemy(int i) const { return i >= cfg.slots && i < car_total(); }
    // A person takes part in the current game on this place (not a rival).
    bool person_in_game(int slot) const
    {
        return human_slot(slot) && cars[slot].in_game && !cars[slot].rival;
    }
    const char *phase_name() const;
    // A text line per car and one for the game, for tests and the status file.
    int describe(char *buf, size_t size) const;
    // Deterministic random numbers from the seed: 0 .. n-1.
    int rng_below(int n);

    // The state, open to the server's own code and to tests.
    int id = 0;                 // the game's number in its server, for log lines
    server_log *log = nullptr;  // where its events are told; null: nowhere
    game_config cfg;
    car cars[MAXPLAYER];
    int8_t field[MAP_H][MAP_W];
    puff puffs[SMOKE_MAX];
    int phase;
    int phase_ticks;  // ticks left in a timed phase
    int lobby_ticks;  // ticks of lobby countdown left; -1 while it is not running
    int round_no;
    int flags_total;
    int flags_left;
    int hiscore;
    int highlight;  // place of the last round's best player, -1 none
    int pauser;     // place whose Q started the pause, -1 none
    int pause_ticks;
    uint32_t rng_state;
    std::vector<round_note> rounds_played;
    rival_mind minds[MAXPLAYER];  // one per human place a rival holds
    // Per human place, path lengths to the flag its rival drives to; empty in games
    // without rivals.
    std::vector<int16_t> target_maps;
    unsigned field_version = 0;  // counts changes of the maze: new rounds, flags taken
    bool records_dirty, map_dirty, round_dirty, smoke_dirty, hiscore_dirty;
    outbox out;  // messages waiting for the connection layer

    // Play (drive.cpp): movement in both control modes, enemies, smoke, collisions.
    void place_human(int i);
    void place_enemy(int i);
    void drive_all();
    void follow_leader();
    void note_score(car &c);
    int round_best() const;

    // The maze (maze.cpp).
    void build_maze(int round);
    void human_home(int slot, int *cx, int *cy) const;
    void enemy_home(int j, int *cx, int *cy) const;
    bool cell_open(int cx, int cy, bool rocks_block) const;
    // Path lengths in cells from (cx, cy) over open cells, rocks blocking.
    void distance_map(int cx, int cy, int16_t dist[MAP_H][MAP_W]) const;

    // Wire encoding of the game's messages into the outbox (outbox.cpp).
    void send_bare(int slot, int tag);
    void send_word(int slot, int tag, int32_t value);
    void send_playerinfo(int slot);
    void send_playerinfo2(int slot);
    void send_roundinfo(int slot);
    void send_map(int slot);
    void send_smoke(int slot);
    void send_hiscore(int slot);

private:
    friend class replay_reader;
    std::shared_ptr<path_scratch> scratch_;
    int record_wait, smoke_wait, ready_count, lobby_announced;
    replay_tape tape_;

    bool human_slot(int slot) const { return slot >= 0 && slot < cfg.slots; }
    void take_keys(car &c, int32_t word);
    void log_player(const char *text, int slot) const;
    void set_name(car &c, const char *name, int slot);
    int countdown_seconds() const;
    int checked_in_count(int *connected) const;
    void clear_smoke();
    void send_round_setup();
    void start_round();
    void start_game();
    void lobby_step();
    bool all_humans_out() const;
    void note_round(int winner);
    void close_round(int next_phase, int tag);
    void enter_game_over();
    void enter_stage_clear();
    void enter_recording();
    void enter_final_result();
    void back_to_lobby();
    int q_presser() const;
    void pause(int slot);
    void resume();
    void ready_step();
    void play_step();
    void pause_step();
    void timed_step();
    void send_changes();

    // drive.cpp
    void steer(car &c);
    void choose_human(car &c);
    int leader_heading(int i) const;
    void choose_enemy(int i);
    int advance(car &c, int i, int speed);
    void take_flag(car &c);
    void lay_smoke(car &c);
    void age_smoke();
    void burst(car &c);
    void end_burst(int i);
    void drive_human(int i);
    void drive_enemy(int i);
    void check_hits(int i);
    void forget_chase_maps();
    bool chase_map_ready(int h);
    bool open_ahead(const car &c, int dir, bool enemy) const;

    // replay.cpp
    void tape_start();
    void tape_keys();
    void tape_event(int code, int slot, const char *name, int value);
    void tape_step_done();
    // rival.cpp
    void seat_rivals();
    void reset_rival(int i);
    void rivals_step();
    car rival_forecast(int i);
    void rival_think(int i);
    void rival_decide(int i, const car &f, bool look);
    void rival_press(int i, int dir);
    bool rival_sees_enemy(const car &c) const;
    void rival_danger(const car &c, int8_t *danger) const;
    void rival_target(int i, int nx, int ny);
    int16_t *target_map(int i);
    void rival_smoke(int i, const int8_t *danger, const car &f, int nx, int ny);

    // maze.cpp
    void open_between(int rx, int ry, int d);
    void carve_tree();
    int open_sides(int cx, int cy) const;
    void braid();
    bool near_home(int cx, int cy, int range) const;
    void place_flags();
    bool flags_reachable() const;
    bool straight_corridor(int cx, int cy) const;
    void place_rocks(int round);
};

// World position of a cell's centre.
int cell_centre(int cell);
bool cell_inside(int cx, int cy);
