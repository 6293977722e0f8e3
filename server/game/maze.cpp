// Maze generation: a depth-first spanning tree over rooms on odd cells, braided so no
// corridor is a dead end (enemies must not corner a car for good), with a few extra
// openings; then flags far from the human start and rocks on straight corridors that
// never cut a flag off.
#include <cstring>

#include "game/game.h"
#include "game/maze.h"

bool cell_inside(int cx, int cy)
{
    return cx >= 0 && cx < MAP_W && cy >= 0 && cy < MAP_H;
}

bool game::cell_open(int cx, int cy, bool rocks_block) const
{
    if (!cell_inside(cx, cy))
        return false;
    int8_t cell = field[cy][cx];
    return cell != CELL_WALL && !(rocks_block && cell == CELL_ROCK);
}

void game::human_home(int slot, int *cx, int *cy) const
{
    *cx = 1 + 2 * ((4 + slot) % MAZE_ROOMS_X);
    *cy = 2 * MAZE_ROOMS_Y - 1;
}

void game::enemy_home(int j, int *cx, int *cy) const
{
    *cx = 1 + 2 * ((1 + 2 * j) % MAZE_ROOMS_X);
    *cy = 1;
}

void game::distance_map(int cx, int cy, int16_t dist[MAP_H][MAP_W]) const
{
    static int queue[MAP_BYTES];
    for (int y = 0; y < MAP_H; y++)
        for (int x = 0; x < MAP_W; x++)
            dist[y][x] = DIST_NONE;
    if (!cell_open(cx, cy, false))
        return;
    int head = 0, tail = 0;
    dist[cy][cx] = 0;
    queue[tail++] = cy * MAP_W + cx;
    while (head < tail) {
        int x = queue[head] % MAP_W, y = queue[head] / MAP_W;
        head++;
        for (int d = 0; d < 4; d++) {
            int nx = x + DX[d], ny = y + DY[d];
            if (!cell_open(nx, ny, true) || dist[ny][nx] != DIST_NONE)
                continue;
            dist[ny][nx] = static_cast<int16_t>(dist[y][x] + 1);
            queue[tail++] = ny * MAP_W + nx;
        }
    }
}

static int room_col(int rx)
{
    return 2 * rx + 1;
}
static int room_row(int ry)
{
    return 2 * ry + 1;
}

static bool room_inside(int rx, int ry)
{
    return rx >= 0 && rx < MAZE_ROOMS_X && ry >= 0 && ry < MAZE_ROOMS_Y;
}

void game::open_between(int rx, int ry, int d)
{
    field[room_row(ry) + DY[d]][room_col(rx) + DX[d]] = CELL_ROAD;
}

void game::carve_tree()
{
    static bool seen[MAZE_ROOMS_Y][MAZE_ROOMS_X];
    static int stack[MAZE_ROOMS_X * MAZE_ROOMS_Y];
    memset(seen, 0, sizeof seen);
    for (int ry = 0; ry < MAZE_ROOMS_Y; ry++)
        for (int rx = 0; rx < MAZE_ROOMS_X; rx++)
            field[room_row(ry)][room_col(rx)] = CELL_ROAD;
    int top = 0;
    int start = rng_below(MAZE_ROOMS_X * MAZE_ROOMS_Y);
    stack[top++] = start;
    seen[start / MAZE_ROOMS_X][start % MAZE_ROOMS_X] = true;
    while (top > 0) {
        int rx = stack[top - 1] % MAZE_ROOMS_X, ry = stack[top - 1] / MAZE_ROOMS_X;
        int options[4], n = 0;
        for (int d = 0; d < 4; d++) {
            int nx = rx + DX[d], ny = ry + DY[d];
            if (room_inside(nx, ny) && !seen[ny][nx])
                options[n++] = d;
        }
        if (n == 0) {
            top--;
            continue;
        }
        int d = options[rng_below(n)];
        open_between(rx, ry, d);
        seen[ry + DY[d]][rx + DX[d]] = true;
        stack[top++] = (ry + DY[d]) * MAZE_ROOMS_X + rx + DX[d];
    }
}

int game::open_sides(int cx, int cy) const
{
    int n = 0;
    for (int d = 0; d < 4; d++)
        n += cell_open(cx + DX[d], cy + DY[d], true);
    return n;
}

// Every dead end gets a second way out, and a few more walls fall for variety.
void game::braid()
{
    for (int ry = 0; ry < MAZE_ROOMS_Y; ry++)
        for (int rx = 0; rx < MAZE_ROOMS_X; rx++) {
            if (open_sides(room_col(rx), room_row(ry)) > 1)
                continue;
            int options[4], n = 0;
            for (int d = 0; d < 4; d++)
                if (room_inside(rx + DX[d], ry + DY[d]) &&
                    field[room_row(ry) + DY[d]][room_col(rx) + DX[d]] == CELL_WALL)
                    options[n++] = d;
            if (n > 0)
                open_between(rx, ry, options[rng_below(n)]);
        }
    for (int k = 0; k < 30; k++) {
        int rx = rng_below(MAZE_ROOMS_X), ry = rng_below(MAZE_ROOMS_Y), d = rng_below(4);
        if (room_inside(rx + DX[d], ry + DY[d]))
            open_between(rx, ry, d);
    }
}

bool game::near_home(int cx, int cy, int range) const
{
    for (int i = 0; i < car_total(); i++) {
        int hx, hy;
        if (is_enemy(i))
            enemy_home(i - cfg.slots, &hx, &hy);
        else
            human_home(i, &hx, &hy);
        int d = (cx > hx ? cx - hx : hx - cx) + (cy > hy ? cy - hy : hy - cy);
        if (d <= range)
            return true;
    }
    return false;
}

void game::place_flags()
{
    int wanted = cfg.flags;
    int placed = 0;
    for (int tries = 0; placed < wanted && tries < 10000; tries++) {
        int cx = room_col(rng_below(MAZE_ROOMS_X)), cy = room_row(rng_below(MAZE_ROOMS_Y));
        if (field[cy][cx] != CELL_ROAD || cy > MAP_H - 1 - FLAG_MIN_DISTANCE ||
            near_home(cx, cy, 2))
            continue;
        int8_t code = CELL_FLAG;
        if (wanted >= 3 && placed == 0)
            code = CELL_FLAG_L;
        else if (wanted >= 3 && placed == 1)
            code = CELL_FLAG_S;
        field[cy][cx] = code;
        placed++;
    }
    flags_total = placed;
    flags_left = placed;
}

bool game::flags_reachable() const
{
    static int16_t dist[MAP_H][MAP_W];
    int hx, hy;
    human_home(0, &hx, &hy);
    distance_map(hx, hy, dist);
    for (int y = 0; y < MAP_H; y++)
        for (int x = 0; x < MAP_W; x++) {
            int8_t c = field[y][x];
            if ((c == CELL_FLAG || c == CELL_FLAG_L || c == CELL_FLAG_S) && dist[y][x] == DIST_NONE)
                return false;
        }
    for (int i = 0; i < cfg.slots; i++) {
        human_home(i, &hx, &hy);
        if (dist[hy][hx] == DIST_NONE)
            return false;
    }
    return true;
}

bool game::straight_corridor(int cx, int cy) const
{
    bool vertical = cell_open(cx, cy - 1, true) && cell_open(cx, cy + 1, true) &&
                    !cell_open(cx - 1, cy, true) && !cell_open(cx + 1, cy, true);
    bool horizontal = cell_open(cx - 1, cy, true) && cell_open(cx + 1, cy, true) &&
                      !cell_open(cx, cy - 1, true) && !cell_open(cx, cy + 1, true);
    return vertical || horizontal;
}

void game::place_rocks(int round)
{
    int wanted = 3 + round;
    if (wanted > ROCKS_MAX)
        wanted = ROCKS_MAX;
    int placed = 0;
    for (int tries = 0; placed < wanted && tries < 2000; tries++) {
        int cx = 1 + rng_below(MAP_W - 2), cy = 1 + rng_below(MAP_H - 2);
        if (field[cy][cx] != CELL_ROAD || !straight_corridor(cx, cy) || near_home(cx, cy, 5))
            continue;
        field[cy][cx] = CELL_ROCK;
        if (flags_reachable())
            placed++;
        else
            field[cy][cx] = CELL_ROAD;
    }
}

void game::build_maze(int round)
{
    memset(field, CELL_WALL, sizeof field);
    field_version++;
    carve_tree();
    braid();
    place_flags();
    place_rocks(round);
}
