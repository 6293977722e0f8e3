// --verify-replays: every kept game played again from its replay, its result compared
// with the kept one (note_result, game/placement.h).
#pragma once

#include <cstdio>
#include <string>

#include "game/game.h"
#include "store/records.h"

// The differences between a kept result and a replayed one, "" when there is none.
std::string result_differences(const game_record &kept, const game_record &replayed);

// Plays a replay to its end at full speed and notes the result in rec; false (why set)
// when the replay cannot be played.
bool replay_result(const std::string &replay, game_record &rec, std::string &why);

// --verify-replays: every kept game played again; one line on out per game whose result
// differs or whose replay cannot be played, then a summary. Returns the exit code: 0 only
// when every replay gives its kept result.
int verify_replays(const std::string &path, FILE *out);
