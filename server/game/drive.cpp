// Cars drive from cell centre to cell centre along the corridors; they choose a new
// heading only at a centre, so a car never stands inside a wall and walls are
// checked per cell.
#include <cstdlib>
#include <cstring>

#include "game/game.h"
#include "game/maze.h"

int cell_centre(int cell)
{
    return cell * CELL_SIZE + CELL_SIZE / 2;
}

bool game::open_ahead(const car &c, int dir, bool enemy) const
{
    return cell_open(c.x / CELL_SIZE + DX[dir], c.y / CELL_SIZE + DY[dir], enemy);
}

static void place_at(car &c, int cx, int cy, int heading)
{
    c.x = cell_centre(cx);
    c.y = cell_centre(cy);
    c.heading = heading;
    c.angle = heading * 90;
    c.moving = false;
    c.wish = -1;
    c.turn = 0;
    c.burst_ticks = c.stun_ticks = c.immune_ticks = 0;
}

void game::place_human(int i)
{
    car &c = cars[i];
    int cx, cy;
    human_home(i, &cx, &cy);
    place_at(c, cx, cy, DIR_UP);
    c.status = PS_DRIVE;
    c.fuel = FUEL_FULL;
    c.safe_ticks = SAFE_TICKS;
    if (c.rival)
        reset_rival(i);
}

void game::place_enemy(int i)
{
    car &c = cars[i];
    int cx, cy;
    enemy_home(i - cfg.slots, &cx, &cy);
    place_at(c, cx, cy, DIR_DOWN);
    c.status = PS_DRIVE;
    c.fuel = FUEL_FULL;
    c.moving = true;
}

static bool on_field(const car &c)
{
    return c.status == PS_DRIVE || c.status == PS_NOFUEL;
}

void game::follow_leader()
{
    int lx = cell_centre(MAP_W / 2), ly = cell_centre(MAP_H / 2);
    for (int i = 0; i < cfg.slots; i++)
        if (cars[i].in_game && on_field(cars[i])) {
            lx = cars[i].x;
            ly = cars[i].y;
            break;
        }
    for (int i = 0; i < cfg.slots; i++)
        if (!cars[i].in_game || phase == PH_LOBBY) {
            cars[i].x = lx;
            cars[i].y = ly;
        }
}

// MODERN: the arrow pressed last is where the car goes, taken at the first crossing
// that allows it; reversing is immediate. CLASSIC: UP drives, LEFT and RIGHT turn a
// quarter at the next crossing that allows it (or at once when standing), DOWN turns
// round.
void game::steer(car &c)
{
    static const int arrows[4] = {KEY_UP, KEY_LEFT, KEY_DOWN, KEY_RIGHT};
    if (c.control == CONTROL_CLASSIC) {
        if (c.presses & KEY_LEFT)
            c.turn = 1;
        if (c.presses & KEY_RIGHT)
            c.turn = -1;
        if (c.presses & KEY_DOWN) {
            c.heading = opposite(c.heading);
            c.turn = 0;
        }
        if (c.keys & KEY_UP)
            c.moving = true;
        return;
    }
    for (int d = 0; d < 4; d++)
        if (c.presses & arrows[d]) {
            c.wish = d;
            break;
        }
    if (c.wish < 0)
        return;
    if (c.moving && c.wish == opposite(c.heading))
        c.heading = c.wish;
    c.moving = true;
}

void game::choose_human(car &c)
{
    if (c.control == CONTROL_CLASSIC) {
        bool up = (c.keys & KEY_UP) != 0;
        if (c.turn != 0 && (open_ahead(c, (c.heading + c.turn + 4) & 3, false) || !up)) {
            c.heading = (c.heading + c.turn + 4) & 3;
            c.turn = 0;
        }
        c.moving = up && open_ahead(c, c.heading, false);
        return;
    }
    if (c.wish >= 0 && open_ahead(c, c.wish, false)) {
        c.heading = c.wish;
        c.moving = true;
        return;
    }
    c.moving = c.moving && open_ahead(c, c.heading, false);
}

// Heading of an earlier enemy on nearly the same spot, -1 when there is none: an
// enemy on another's tail goes another way, so the pack spreads out.
int game::leader_heading(int i) const
{
    for (int e = cfg.slots; e < i; e++)
        if (cars[e].status == PS_DRIVE &&
            abs(cars[e].x - cars[i].x) + abs(cars[e].y - cars[i].y) < 2 * CELL_SIZE)
            return cars[e].heading;
    return -1;
}

void game::choose_enemy(int i)
{
    car &c = cars[i];
    int options[4], n = 0;
    for (int d = 0; d < 4; d++)
        if (d != opposite(c.heading) && open_ahead(c, d, true))
            options[n++] = d;
    if (n == 0) {
        c.heading = opposite(c.heading);
        c.moving = open_ahead(c, c.heading, true);
        return;
    }
    c.moving = true;
    // The nearest human on the field, by path length.
    int cx = c.x / CELL_SIZE, cy = c.y / CELL_SIZE, target = -1;
    for (int h = 0; h < cfg.slots; h++)
        if (chase_map_ready(h) && scratch_->dist[h][cy][cx] != DIST_NONE &&
            (target < 0 || scratch_->dist[h][cy][cx] < scratch_->dist[target][cy][cx]))
            target = h;
    int pick = options[rng_below(n)];
    int lead = leader_heading(i);
    if (lead >= 0 && n > 1) {
        int k = 0;
        for (int m = 0; m < n; m++)
            if (options[m] != lead)
                options[k++] = options[m];
        n = k;
        pick = options[rng_below(n)];
    } else if (target >= 0 && rng_below(8) != 0) {
        int best = DIST_NONE + 1;
        for (int k = 0; k < n; k++) {
            int d = scratch_->dist[target][cy + DY[options[k]]][cx + DX[options[k]]];
            if (d < best) {
                best = d;
                pick = options[k];
            }
        }
    }
    c.heading = pick;
}

// Moves the car up to `speed` units, choosing at every centre it reaches (enemy car i
// by the chase, a car on a human place, i < 0, by its keys); returns the distance
// moved.
int game::advance(car &c, int i, int speed)
{
    int moved = 0;
    for (int left = speed, guard = 0; left > 0 && guard < 4; guard++) {
        if (at_centre(c)) {
            if (i >= 0)
                choose_enemy(i);
            else
                choose_human(c);
            if (!c.moving)
                break;
        }
        bool positive = c.heading == DIR_DOWN || c.heading == DIR_RIGHT;
        int32_t &pos = c.heading == DIR_UP || c.heading == DIR_DOWN ? c.y : c.x;
        int rem = ((pos - CELL_SIZE / 2) % CELL_SIZE + CELL_SIZE) % CELL_SIZE;
        int to_centre = rem == 0 ? CELL_SIZE : positive ? CELL_SIZE - rem : rem;
        int step = left < to_centre ? left : to_centre;
        pos += positive ? step : -step;
        left -= step;
        moved += step;
    }
    c.angle = c.heading * 90;
    return moved;
}

void game::take_flag(car &c)
{
    int cx = c.x / CELL_SIZE, cy = c.y / CELL_SIZE;
    int8_t cell = field[cy][cx];
    if (cell != CELL_FLAG && cell != CELL_FLAG_L && cell != CELL_FLAG_S)
        return;
    field[cy][cx] = CELL_ROAD;
    field_version++;
    c.flags++;
    c.flags_game++;
    flags_left--;
    c.score += cell == CELL_FLAG ? FLAG_POINTS : MARKED_FLAG_POINTS;
    if (cell == CELL_FLAG_L && c.lives < SPARE_CARS_MAX)
        c.lives++;
    if (cell == CELL_FLAG_S) {
        c.fuel = FUEL_FULL;
        c.status = PS_DRIVE;
    }
    note_score(c);
    map_dirty = round_dirty = records_dirty = true;
}

void game::lay_smoke(car &c)
{
    if (c.status != PS_DRIVE || c.fuel < SMOKE_COST)
        return;
    int slot = 0;
    for (int j = 0; j < SMOKE_MAX; j++) {
        if (puffs[j].size == 0) {
            slot = j;
            break;
        }
        if (puffs[j].ticks < puffs[slot].ticks)
            slot = j;
    }
    puffs[slot].x = c.x;
    puffs[slot].y = c.y;
    puffs[slot].size = SMOKE_SIZE;
    puffs[slot].ticks = SMOKE_TICKS;
    c.fuel -= SMOKE_COST;
    smoke_dirty = true;
}

void game::age_smoke()
{
    for (int j = 0; j < SMOKE_MAX; j++)
        if (puffs[j].size > 0 && --puffs[j].ticks <= 0) {
            memset(&puffs[j], 0, sizeof puffs[j]);
            smoke_dirty = true;
        }
}

void game::burst(car &c)
{
    c.status = PS_BURST;
    c.burst_ticks = BURST_TICKS;
    c.moving = false;
    records_dirty = true;
}

void game::end_burst(int i)
{
    car &c = cars[i];
    if (--c.burst_ticks > 0)
        return;
    if (c.lives > 0) {
        c.lives--;
        place_human(i);
    } else {
        c.status = PS_RETIRED;
    }
    records_dirty = true;
}

void game::drive_human(int i)
{
    car &c = cars[i];
    if (!c.in_game)
        return;
    if (c.status == PS_BURST) {
        end_burst(i);
        return;
    }
    if (!on_field(c))
        return;
    if (c.safe_ticks > 0)
        c.safe_ticks--;
    steer(c);
    int moved = advance(c, -1, c.status == PS_NOFUEL ? NOFUEL_SPEED : HUMAN_SPEED);
    if (moved > 0 && c.status == PS_DRIVE && --c.fuel <= 0) {
        c.fuel = 0;
        c.status = PS_NOFUEL;
        records_dirty = true;
    }
    take_flag(c);
    if (c.presses & KEY_SPACE)
        lay_smoke(c);
}

static bool near(const int32_t ax, const int32_t ay, const int32_t bx, const int32_t by, int range)
{
    return abs(ax - bx) < range && abs(ay - by) < range;
}

void game::drive_enemy(int i)
{
    car &c = cars[i];
    if (c.status != PS_DRIVE)
        return;
    if (c.immune_ticks > 0)
        c.immune_ticks--;
    if (c.stun_ticks > 0) {
        c.angle = (c.angle + 30) % 360;  // spins while stopped
        if (--c.stun_ticks == 0) {
            c.immune_ticks = IMMUNE_TICKS;
            c.angle = c.heading * 90;
        }
        return;
    }
    for (int j = 0; j < SMOKE_MAX; j++)
        if (c.immune_ticks == 0 && puffs[j].size > 0 &&
            near(c.x, c.y, puffs[j].x, puffs[j].y, PUFF_RANGE)) {
            c.stun_ticks = STUN_TICKS;
            return;
        }
    advance(c, i, ENEMY_SPEED + (round_no > 3 ? 2 : round_no - 1));
}

void game::check_hits(int i)
{
    car &c = cars[i];
    if (!c.in_game || !on_field(c) || c.safe_ticks > 0)
        return;
    for (int e = cfg.slots; e < car_total(); e++) {
        const car &en = cars[e];
        if (en.status == PS_DRIVE && en.stun_ticks == 0 && near(c.x, c.y, en.x, en.y, HIT_RANGE)) {
            burst(c);
            return;
        }
    }
    int cx = c.x / CELL_SIZE, cy = c.y / CELL_SIZE;
    if (field[cy][cx] == CELL_ROCK && near(c.x, c.y, cell_centre(cx), cell_centre(cy), ROCK_RANGE))
        burst(c);
}

void game::forget_chase_maps()
{
    for (int h = 0; h < cfg.slots; h++)
        scratch_->state[h] = path_scratch::UNKNOWN;
}

bool game::chase_map_ready(int h)
{
    int &state = scratch_->state[h];
    if (state == path_scratch::UNKNOWN) {
        const car &c = cars[h];
        state = c.in_game && on_field(c) ? path_scratch::VALID : path_scratch::NONE;
        if (state == path_scratch::VALID)
            distance_map(c.x / CELL_SIZE, c.y / CELL_SIZE, scratch_->dist[h]);
    }
    return state == path_scratch::VALID;
}

void game::drive_all()
{
    for (int i = 0; i < cfg.slots; i++)
        drive_human(i);
    forget_chase_maps();
    for (int i = cfg.slots; i < car_total(); i++)
        drive_enemy(i);
    age_smoke();
    for (int i = 0; i < cfg.slots; i++)
        check_hits(i);
}
