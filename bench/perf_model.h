// The busy game model every performance program draws: a full field around the own
// car, 8 cars, 24 smoke puffs, 30 flags on the radar, 8 lobby and result rows.
#pragma once

// The model back to the busy game (status GS_PLAY, window size untouched).
void build_busy_model();

// The own car moved by a few world units per frame step, so successive frames differ
// the way they do in play.
void step_busy_model(int frame);
