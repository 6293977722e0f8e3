// Event detection: what changed in the model between two views, in the terms a
// player hears. Only the own car's record and the game's status are watched.
#include "sound/events.h"

#include <cstring>

void take_view(sound_view &view)
{
    view.game_status = game_status;
    view.status_count = status_count;
    view.x = me->x;
    view.y = me->y;
    view.status = me->status;
    view.fuel = me->fuel;
    view.flags = me->flags;
    view.score = me->score;
    memcpy(view.smoke, smoke, sizeof view.smoke);
}

// Play as the own car sees it: the field is live (a stage clear can arrive before
// the record that shows the last flag taken).
static bool on_field(const sound_view &v)
{
    return v.game_status == GS_PLAY || v.game_status == GS_STAGE_CLEARED;
}

static bool entered(const sound_view &before, const sound_view &after, int status)
{
    return after.game_status == status && before.game_status != status;
}

// A slot holds a new puff when it was empty or now stands elsewhere. The client
// shrinks puffs between smoke messages and the server sends them at full size
// again, so a grown puff at the same place is not new.
static bool new_puff(const sound_view &before, const sound_view &after)
{
    for (int j = 0; j < SMOKE_MAX; j++) {
        const smokeinfo &b = before.smoke[j];
        const smokeinfo &a = after.smoke[j];
        if (a.size > 0 && (b.size <= 0 || a.x != b.x || a.y != b.y))
            return true;
    }
    return false;
}

bool fuel_warning_shown(const sound_view &view)
{
    return view.game_status == GS_PLAY && view.fuel < FUEL_WARNING_LEVEL &&
           view.status != PS_NOFUEL;
}

uint32_t detect_events(const sound_view &before, const sound_view &after)
{
    uint32_t events = 0;
    if (after.game_status == GS_READY &&
        (before.game_status != GS_READY || before.status_count != after.status_count))
        events |= EV_COUNTDOWN;
    // Leaving the pause resumes play; it does not start it.
    if (entered(before, after, GS_PLAY) && before.game_status != GS_PAUSE &&
        after.status == PS_DRIVE)
        events |= EV_GO;
    if (entered(before, after, GS_STAGE_CLEARED))
        events |= EV_STAGE_CLEAR;
    if (entered(before, after, GS_ROUND_RESULT) || entered(before, after, GS_FINAL_RESULT))
        events |= EV_RESULT;
    if (entered(before, after, GS_GAME_OVER))
        events |= EV_GAME_OVER;
    if (!on_field(after))
        return events;

    if (after.flags > before.flags) {
        // 64-bit difference: scores near the ends of the range must not overflow.
        int64_t step = int64_t{after.score} - before.score;
        events |= step >= MARKED_FLAG_STEP ? EV_MARKED_FLAG : EV_FLAG;
    }
    if (after.status == PS_BURST && before.status != PS_BURST)
        events |= EV_BURST;
    if (after.status == PS_NOFUEL && before.status != PS_NOFUEL)
        events |= EV_FUEL_EMPTY;
    if (fuel_warning_shown(after) && !fuel_warning_shown(before))
        events |= EV_FUEL_LOW;
    if (new_puff(before, after))
        events |= EV_SMOKE;
    if (after.status == PS_DRIVE && after.game_status == GS_PLAY &&
        (after.x != before.x || after.y != before.y))
        events |= EV_MOVED;
    return events;
}
