// Running and kept games as moving pictures for the status page: a frame of a game (its
// maze and flags, cars, smoke, scores) ten times a second, sent as Server-Sent Events.
// A running game's frames come from the loop through live_frames; a kept game is played
// again here, on the HTTP side's thread and off the loop, from its replay.
#pragma once

#include <memory>
#include <string>

#include "game/game.h"
#include "game/replay.h"
#include "web/status.h"

constexpr int FRAME_STEPS = 3;          // steps between two frames: 10 a second
constexpr int FRAME_CATCH_UP_MAX = 30;  // steps a late replay takes at once at most

game_frame frame_of(const game &g, long step);

// One event of the stream: "event: frame" with the frame as JSON (its maze only when
// it differs from the previous frame's, prev null: always).
std::string frame_event(const game_frame &f, const game_frame *prev);

// The events of one stream: a running game's frames as the loop publishes them, or a
// kept game played again at the speed it was played.
class game_stream {
public:
    game_stream(live_frames &board, int id);
    // A replay that cannot be played gives one "end" event saying so.
    game_stream(std::string replay, long long now_ms);
    // A stream of one "end" event with the reason (no such game, ...).
    static std::unique_ptr<game_stream> ended(std::string reason);
    ~game_stream();
    game_stream(const game_stream &) = delete;
    game_stream &operator=(const game_stream &) = delete;

    // The events due at now_ms ("" when nothing is new); the last one is an "end" event,
    // after which done() holds.
    std::string poll(long long now_ms);
    bool done() const { return done_; }
    // poll would have something to give at now_ms.
    bool ready(long long now_ms) const;

private:
    game_stream() = default;
    std::string poll_live();
    std::string poll_replay(long long now_ms);
    std::string emit(std::shared_ptr<const game_frame> f);

    live_frames *board_ = nullptr;
    int id_ = 0;
    replay_reader replay_;
    long long start_ms_ = 0;
    std::shared_ptr<const game_frame> last_;
    bool done_ = false;
    std::string error_;
};
