// Fuzz target: the five screens drawn from an arbitrary game model and window size.
// The real drawing code runs against the GL stand-in (gl_stub.cpp), so every index
// into fieldmap, players and smoke that the visible cell window, the radar, the
// icon rows and the row loops compute is checked by AddressSanitizer, their
// arithmetic by UBSan, and the GL calls by the stand-in. Drawing must also leave the
// game model exactly as it found it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "game/model.h"
#include "gl_stub.h"
#include "render/window.h"
#include "screens/lobby.h"
#include "screens/panel.h"

namespace {

// Values a server could send, weighted toward the ones the layout cares about:
// small counts, positions in and around the maze, and the extremes.
int32_t pick(FuzzedDataProvider &in)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeIntegralInRange(-16, 64);
    case 1: return in.ConsumeIntegralInRange(-2 * CELL_SIZE, WORLD_H + 2 * CELL_SIZE);
    case 2: return in.ConsumeIntegral<int32_t>();
    default: {
        static const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1,
                                           0,         INT32_MAX - 1, INT32_MAX};
        return extremes[in.ConsumeIntegralInRange<size_t>(0, 5)];
    }
    }
}

void fill_car(FuzzedDataProvider &in, playerinfo &car)
{
    int32_t *words[] = {&car.x,     &car.y,    &car.angle, &car.status,     &car.fuel,   &car.flags,
                        &car.lives, &car.wins, &car.score, &car.flags_game, &car.control};
    for (int32_t *word : words)
        *word = pick(in);
    // Status codes are what most branches test: keep them near the real ones often.
    if (in.ConsumeBool())
        car.status = in.ConsumeIntegralInRange(-1, 7);
    for (char &c : car.name)
        c = static_cast<char>(in.ConsumeIntegral<uint8_t>());
}

void fill_model(FuzzedDataProvider &in)
{
    memset(players, 0, sizeof players);
    me = &players[in.ConsumeIntegralInRange(0, MAXPLAYER - 1)];
    Nclient = pick(in);
    Nenemy = pick(in);
    for (playerinfo &car : players)
        fill_car(in, car);
    for (smokeinfo &puff : smoke) {
        puff.x = pick(in);
        puff.y = pick(in);
        puff.size = pick(in);
    }
    game_status = in.ConsumeBool() ? in.ConsumeIntegralInRange(-1, 10) : pick(in);
    status_count = pick(in);
    round_no = pick(in);
    hiscore = pick(in);
    flags_total = pick(in);
    flags_left = pick(in);
    result_highlight = pick(in);
    radar_blink = pick(in);
    fuel_blink = pick(in);
    live_blink = pick(in);
    welcome_blink = pick(in);
    countdown_blink = pick(in);
    // The maze comes last and takes what is left; the rest of it is road.
    memset(fieldmap, 0, sizeof fieldmap);
    std::vector<uint8_t> cells = in.ConsumeRemainingBytes<uint8_t>();
    if (!cells.empty())
        memcpy(fieldmap, cells.data(), std::min(cells.size(), sizeof fieldmap));
}

// Everything the screens read, to prove they wrote none of it.
struct model_copy {
    playerinfo cars[MAXPLAYER];
    int8_t cells[MAP_H][MAP_W];
    smokeinfo puffs[SMOKE_MAX];
    playerinfo *own;
    int scalars[9];
};

model_copy take_copy()
{
    model_copy m;
    memcpy(m.cars, players, sizeof players);
    memcpy(m.cells, fieldmap, sizeof fieldmap);
    memcpy(m.puffs, smoke, sizeof smoke);
    m.own = me;
    int scalars[] = {game_status, status_count, round_no,         hiscore, flags_total,
                     flags_left,  Nclient,      result_highlight, Nenemy};
    memcpy(m.scalars, scalars, sizeof scalars);
    return m;
}

bool same_model(const model_copy &a, const model_copy &b)
{
    return memcmp(a.cars, b.cars, sizeof a.cars) == 0 &&
           memcmp(a.cells, b.cells, sizeof a.cells) == 0 &&
           memcmp(a.puffs, b.puffs, sizeof a.puffs) == 0 && a.own == b.own &&
           memcmp(a.scalars, b.scalars, sizeof a.scalars) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    // Window sizes come from the window system, not the server: any an X server allows.
    int width = in.ConsumeIntegralInRange(0, 32767);
    int height = in.ConsumeIntegralInRange(0, 32767);
    fill_model(in);
    reshape(width, height);

    model_copy before = take_copy();
    void (*const screens[])() = {display_lobby, display_round_result, display_final_result,
                                 display_play, display_live};
    gl_stub_reset_counts();
    for (auto screen : screens) {
        screen();
        gl_stub_check_frame_done();
    }
    if (gl_stub_frames() != 5) {
        fprintf(stderr, "a screen callback did not swap its frame\n");
        abort();
    }
    if (!same_model(before, take_copy())) {
        fprintf(stderr, "drawing changed the game model\n");
        abort();
    }
    return 0;
}
