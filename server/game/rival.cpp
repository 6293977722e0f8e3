// Computer rivals: cars on free human places that play as a person does. A rival
// presses keys, and its key words reach its car through the same input as a client's,
// after a reaction delay. It drives to the nearest flag by path (an L or S flag first
// when it is short of spare cars or fuel), never into a rock, shies away from the
// enemies it can see and lays smoke when one closes in. It sees what a player sees: the
// radar's flags, rocks and cars over the whole maze, and tells enemies only on the
// playfield, the cells around its car (the radar shows every car alike); it leaves a
// flag to a car that looks nearer to it on the radar. Everything it does follows
// from the game's state and a random state of its own drawn from the game's, so the
// same seed and the same players' keys give the same game.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "game/game.h"
#include "game/maze.h"

namespace {

const int32_t ARROWS[4] = {KEY_UP, KEY_LEFT, KEY_DOWN, KEY_RIGHT};

// Each ends in '*', so no one takes a rival for a person.
const char *const RIVAL_NAMES[] = {"Ada*", "Bix*",  "Cleo*", "Dash*", "Echo*", "Finn*",
                                   "Gus*", "Hale*", "Ivy*",  "Juno*", "Kit*",  "Lux*"};
constexpr int RIVAL_NAME_COUNT = static_cast<int>(sizeof RIVAL_NAMES / sizeof RIVAL_NAMES[0]);

constexpr int DELAY_MIN = 5;     // reaction delay 5 .. 7 ticks (170 .. 230 ms)
constexpr int DELAY_SPREAD = 3;  // a crossing is 8 ticks away at full speed: in time
constexpr int GLANCE_MIN = 4;    // looks around every 4 .. 6 ticks
constexpr int GLANCE_SPREAD = 3;
constexpr int VIEW_CELLS = 5;          // the playfield shows 5 cells each side of the car
constexpr int DANGER_RANGE = 4;        // path cells within which an enemy is avoided
constexpr int DANGER_WEIGHT = 12;      // cost of a cell one path cell nearer an enemy
constexpr int TURN_BACK_COST = 1;      // turns round only to gain more than a cell
constexpr int MARKED_PREFERENCE = 12;  // cells a wanted L or S flag may lie further
constexpr int CONTEST_COST = 20;       // a flag another car looks nearer to
constexpr int RETARGET_MIN = 90;       // weighs the flags again every 3 .. 5 s
constexpr int RETARGET_SPREAD = 60;
constexpr int LOW_FUEL = FUEL_FULL / 3;
constexpr int SMOKE_RANGE = 3;      // an enemy this many path cells away is closing in
constexpr int SMOKE_RESERVE = 600;  // fuel kept for driving
constexpr int SMOKE_GAP = 20;       // ticks between puffs
constexpr int WANDER_ONE_IN = 10;   // one crossing in ten goes another way ...
constexpr int WANDER_SLACK = 4;     // ... at most this many cells longer
constexpr int8_t FAR = INT8_MAX;

int below(uint32_t &state, int n)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return n > 0 ? static_cast<int>(state % static_cast<uint32_t>(n)) : 0;
}

int danger_cost(const int8_t *danger, int cx, int cy)
{
    int e = danger[cy * MAP_W + cx];
    return e <= DANGER_RANGE ? DANGER_WEIGHT * (DANGER_RANGE + 1 - e) : 0;
}

// A centre where the car chooses its way: the cell, the car's heading there, and
// whether it stands there (it moves on only when an arrow is pressed).
struct crossing {
    int x, y, h;
    bool standing;
};

}  // namespace

void game::seat_rivals()
{
    bool used[RIVAL_NAME_COUNT] = {};
    int wanted = cfg.rivals;
    for (int s = 0; s < cfg.slots && wanted > 0; s++) {
        car &c = cars[s];
        if (c.connected || c.in_game)
            continue;
        memset(&c, 0, sizeof c);
        int pick = rng_below(RIVAL_NAME_COUNT);
        while (used[pick])
            pick = (pick + 1) % RIVAL_NAME_COUNT;
        used[pick] = true;
        snprintf(c.name, NAME_BYTES, "%s", RIVAL_NAMES[pick]);
        c.in_game = c.rival = true;
        c.status = PS_DRIVE;
        c.lives = SPARE_CARS;
        c.control = CONTROL_MODERN;
        c.wish = -1;
        rival_mind &m = minds[s];
        memset(&m, 0, sizeof m);
        m.rng = static_cast<uint32_t>(rng_below(INT_MAX)) | 1u;
        m.delay = DELAY_MIN + below(m.rng, DELAY_SPREAD);
        m.glance_ticks = GLANCE_MIN + below(m.rng, GLANCE_SPREAD);
        reset_rival(s);
        log_player("rival in slot", s);
        wanted--;
    }
}

// A fresh car (a new round, a spare after a burst): every key let go, nothing planned.
void game::reset_rival(int i)
{
    rival_mind &m = minds[i];
    m.intent = 0;
    memset(m.line, 0, sizeof m.line);
    m.plan_x = m.plan_y = -1;
    m.glance = 0;
    m.target = -1;
}

// Each rival's key word of this tick goes in as a client's would; then it thinks, and
// what it decides lands `delay` ticks later.
void game::rivals_step()
{
    for (int i = 0; i < cfg.slots; i++) {
        car &c = cars[i];
        if (!c.rival)
            continue;
        rival_mind &m = minds[i];
        m.tick++;
        take_keys(c, m.line[(m.tick + RIVAL_LINE - static_cast<unsigned>(m.delay)) % RIVAL_LINE]);
        if (phase == PH_PLAY)
            rival_think(i);
        m.line[m.tick % RIVAL_LINE] = m.intent;
        m.intent &= ~KEY_SPACE;  // smoke is a tap
    }
}

// Where the car chooses its way next: the centre it stands on, else the centre ahead.
static crossing next_crossing(const car &c)
{
    int cx = c.x / CELL_SIZE, cy = c.y / CELL_SIZE;
    if (at_centre(c))
        return crossing{cx, cy, c.heading, !c.moving};
    bool vertical = c.heading == DIR_UP || c.heading == DIR_DOWN;
    int off = (vertical ? c.y : c.x) % CELL_SIZE - CELL_SIZE / 2;
    bool positive = c.heading == DIR_DOWN || c.heading == DIR_RIGHT;
    int step = positive ? (off > 0 ? 1 : 0) : (off < 0 ? -1 : 0);
    return crossing{vertical ? cx : cx + step, vertical ? cy + step : cy, c.heading, false};
}

// The car as it will be when a key word decided now lands: driven on through this
// tick and the words already on their way, as a player foresees where the car will be
// by the time a key goes down.
car game::rival_forecast(int i)
{
    const rival_mind &m = minds[i];
    car f = cars[i];
    for (int k = 0; k < m.delay; k++) {
        if (k > 0) {
            int32_t w =
                m.line[(m.tick + RIVAL_LINE - static_cast<unsigned>(m.delay - k)) % RIVAL_LINE];
            f.presses = w & ~f.keys;
            f.keys = w;
        }
        steer(f);
        advance(f, -1, f.status == PS_NOFUEL ? NOFUEL_SPEED : HUMAN_SPEED);
    }
    return f;
}

void game::rival_think(int i)
{
    car &c = cars[i];
    rival_mind &m = minds[i];
    if (m.smoke_wait > 0)
        m.smoke_wait--;
    if (c.status == PS_BURST) {
        m.intent = 0;  // lets go of the keys while the car burns
        m.plan_x = -1;
        return;
    }
    if (c.status != PS_DRIVE && c.status != PS_NOFUEL)
        return;
    if (m.retarget > 0)
        m.retarget--;
    car f = rival_forecast(i);
    crossing n = next_crossing(f);
    bool fresh = n.x != m.plan_x || n.y != m.plan_y || m.seen_version != field_version;
    m.seen_version = field_version;
    bool look = --m.glance <= 0;
    if (look)
        m.glance = m.glance_ticks;
    if (fresh || (look && rival_sees_enemy(c)))
        rival_decide(i, f, look);
}

bool game::rival_sees_enemy(const car &c) const
{
    int cx = c.x / CELL_SIZE, cy = c.y / CELL_SIZE;
    for (int e = cfg.slots; e < car_total(); e++) {
        const car &en = cars[e];
        if (en.status == PS_DRIVE && abs(en.x / CELL_SIZE - cx) <= VIEW_CELLS &&
            abs(en.y / CELL_SIZE - cy) <= VIEW_CELLS)
            return true;
    }
    return false;
}

// Path lengths (up to DANGER_RANGE + 1, FAR beyond) from the enemies the rival sees
// that are not stopped by smoke for a while yet, over the cells enemies drive.
void game::rival_danger(const car &c, int8_t *danger) const
{
    memset(danger, FAR, MAP_BYTES);
    int queue[MAP_BYTES];
    int tail = 0;
    int cx = c.x / CELL_SIZE, cy = c.y / CELL_SIZE;
    for (int e = cfg.slots; e < car_total(); e++) {
        const car &en = cars[e];
        int ex = en.x / CELL_SIZE, ey = en.y / CELL_SIZE;
        if (en.status != PS_DRIVE || en.stun_ticks > TICK_HZ / 2 || abs(ex - cx) > VIEW_CELLS ||
            abs(ey - cy) > VIEW_CELLS)
            continue;
        int ahead_x = ex + DX[en.heading], ahead_y = ey + DY[en.heading];
        if (danger[ey * MAP_W + ex] != 0)
            queue[tail++] = ey * MAP_W + ex;
        danger[ey * MAP_W + ex] = 0;
        if (!at_centre(en) && cell_open(ahead_x, ahead_y, true) &&
            danger[ahead_y * MAP_W + ahead_x] != 0) {
            danger[ahead_y * MAP_W + ahead_x] = 0;
            queue[tail++] = ahead_y * MAP_W + ahead_x;
        }
    }
    for (int head = 0; head < tail; head++) {
        int x = queue[head] % MAP_W, y = queue[head] / MAP_W;
        int next = danger[queue[head]] + 1;
        if (next > DANGER_RANGE)
            continue;
        for (int d = 0; d < 4; d++) {
            int nx = x + DX[d], ny = y + DY[d];
            if (cell_open(nx, ny, true) && danger[ny * MAP_W + nx] > next) {
                danger[ny * MAP_W + nx] = static_cast<int8_t>(next);
                queue[tail++] = ny * MAP_W + nx;
            }
        }
    }
}

int16_t *game::target_map(int i)
{
    if (target_maps.size() < static_cast<size_t>(cfg.slots) * MAP_BYTES)
        target_maps.assign(static_cast<size_t>(cfg.slots) * MAP_BYTES, DIST_NONE);
    return &target_maps[static_cast<size_t>(i) * MAP_BYTES];
}

static bool is_flag(int8_t cell)
{
    return cell == CELL_FLAG || cell == CELL_FLAG_L || cell == CELL_FLAG_S;
}

// Picks the flag to drive to from the crossing (nx, ny): the nearest by path, an L flag
// counting as nearer when it is short of spare cars, an S flag when short of fuel, and
// a flag that another car on the radar looks nearer to (straight across, as the eye
// judges it; on a tie the lower place has it) counting as further. Then maps the paths
// to it.
void game::rival_target(int i, int nx, int ny)
{
    const car &c = cars[i];
    rival_mind &m = minds[i];
    int16_t *mine = target_map(i);
    distance_map(nx, ny, reinterpret_cast<int16_t(*)[MAP_W]>(mine));
    int best = -1, best_score = INT_MAX;
    for (int k = 0; k < MAP_BYTES; k++) {
        int8_t cell = field[k / MAP_W][k % MAP_W];
        if (!is_flag(cell) || mine[k] == DIST_NONE)
            continue;
        int score = mine[k];
        if ((cell == CELL_FLAG_L && c.lives < SPARE_CARS) ||
            (cell == CELL_FLAG_S && c.fuel < LOW_FUEL))
            score -= MARKED_PREFERENCE;
        int my_sight = abs(c.x / CELL_SIZE - k % MAP_W) + abs(c.y / CELL_SIZE - k / MAP_W);
        for (int j = 0; j < cfg.slots; j++) {
            const car &o = cars[j];
            if (j == i || !o.in_game || (o.status != PS_DRIVE && o.status != PS_NOFUEL))
                continue;
            int sight = abs(o.x / CELL_SIZE - k % MAP_W) + abs(o.y / CELL_SIZE - k / MAP_W);
            if (sight < my_sight || (sight == my_sight && j < i)) {
                score += CONTEST_COST;
                break;
            }
        }
        if (score < best_score) {
            best_score = score;
            best = k;
        }
    }
    m.target = best;
    m.retarget = RETARGET_MIN + below(m.rng, RETARGET_SPREAD);
    if (best >= 0)
        distance_map(best % MAP_W, best / MAP_W, reinterpret_cast<int16_t(*)[MAP_W]>(mine));
}

// Chooses the way to take at the next crossing, or to turn round at once when that is
// better (an enemy waits ahead, the flag went to someone else), and holds that arrow
// in mind.
void game::rival_decide(int i, const car &f, bool look)
{
    const car &c = cars[i];
    rival_mind &m = minds[i];
    crossing n = next_crossing(f);
    m.plan_x = n.x;
    m.plan_y = n.y;
    if (m.target < 0 || !is_flag(field[m.target / MAP_W][m.target % MAP_W]) || m.retarget <= 0)
        rival_target(i, n.x, n.y);
    if (m.target < 0)
        return;
    const int16_t *to = target_map(i);
    int8_t danger[MAP_BYTES];
    rival_danger(c, danger);
    int costs[4], best = -1;
    for (int d = 0; d < 4; d++) {
        costs[d] = INT_MAX;
        int mx = n.x + DX[d], my = n.y + DY[d];
        if (!cell_open(mx, my, true) || to[my * MAP_W + mx] == DIST_NONE)
            continue;  // a wall, or a rock the car would burst on
        costs[d] = to[my * MAP_W + mx] + danger_cost(danger, mx, my);
        if (!n.standing && d == opposite(n.h))
            costs[d] += TURN_BACK_COST;
        if (best < 0 || costs[d] < costs[best])
            best = d;
    }
    if (best < 0)
        return;
    int wander = below(m.rng, WANDER_ONE_IN) == 0 ? below(m.rng, 4) : -1;
    if (wander >= 0 && costs[wander] <= costs[best] + WANDER_SLACK &&
        (n.standing || wander != opposite(n.h)))
        best = wander;
    if (!n.standing && !at_centre(f)) {
        // Turning round now, to the crossing behind.
        int bx = n.x - DX[n.h], by = n.y - DY[n.h];
        int back = cell_open(bx, by, true) && to[by * MAP_W + bx] != DIST_NONE
                       ? to[by * MAP_W + bx] + danger_cost(danger, bx, by) + TURN_BACK_COST
                       : INT_MAX;
        if (back < costs[best] + danger_cost(danger, n.x, n.y))
            best = opposite(n.h);
    }
    rival_press(i, best);
    if (look)
        rival_smoke(i, danger, f, n.x, n.y);
}

void game::rival_press(int i, int dir)
{
    rival_mind &m = minds[i];
    m.intent = (m.intent & ~(KEY_UP | KEY_DOWN | KEY_LEFT | KEY_RIGHT)) | ARROWS[dir];
}

// Smoke when an enemy closes in from behind or beside (one ahead is left by turning),
// or is all but touching, while the tank can spare it.
void game::rival_smoke(int i, const int8_t *danger, const car &f, int nx, int ny)
{
    const car &c = cars[i];
    rival_mind &m = minds[i];
    int here = danger[(f.y / CELL_SIZE) * MAP_W + f.x / CELL_SIZE];
    int ahead = danger[ny * MAP_W + nx];
    bool closing = here <= SMOKE_RANGE && (ahead >= here || here <= 1);
    if (closing && m.smoke_wait == 0 && c.status == PS_DRIVE &&
        c.fuel >= SMOKE_RESERVE + SMOKE_COST) {
        m.intent |= KEY_SPACE;
        m.smoke_wait = SMOKE_GAP;
    }
}
