// What the server shows of itself to the people who host it: a snapshot of every
// game and of the server's figures, taken by the event loop a few times a second and
// read by other threads (the status page, the metrics). Plain values only: a reader
// never touches a live game.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// One car of a game as the page shows it.
struct car_view {
    int index;  // position in the game's car table (human places first, then enemies)
    bool enemy;
    std::string name;  // as the players see it; any printable ASCII, escape before showing
    int status;        // the wire status: 0 none, 1 drive, 2 burst, 4 no fuel, 6 retired
    int x, y;          // world units (64 a cell)
    int score, flags, flags_game, fuel, lives, wins;
    bool connected;       // human: a client holds this place
    std::string address;  // human: the client's address (behind a balancer, the real one)
};

struct game_view {
    int id;            // the game's number in this process
    std::string room;  // "" for a quick-play game
    std::string
        phase;  // lobby, ready, play, pause, stage_clear, round_result, game_over, final_result
    int round, rounds, places, enemies;
    int watchers;                // connected clients of this game that are not playing
    std::vector<car_view> cars;  // the human places in use, then the enemies
    std::string maze;            // MAP_H rows of MAP_W cell codes '0'..'5', row after row
};

// The best scores and last games from the records store.
struct score_row {
    std::string name;
    int score;
    int64_t ended_ms;  // Unix time of the game's end
    std::string room;
    int64_t game_id = 0;  // the kept game (its replay)
};

struct game_row {
    int64_t id;
    int64_t started_ms, ended_ms;
    std::string room;
    int rounds_played;
    bool abandoned;
    std::vector<std::pair<std::string, int>> players;  // name and score, best first
};

struct hall_of_fame {
    std::vector<score_row> best;   // best scores ever, best first
    std::vector<game_row> recent;  // last games, newest first
};

struct server_figures {
    int64_t started_ms, taken_ms;  // Unix time of the start and of this snapshot
    int connections, checking_in;
    uint64_t connections_accepted, games_opened;  // since start
    int games_lobby, games_playing;               // playing: any phase but the lobby
    int players, watchers;
    std::map<std::string, uint64_t> refusals;  // reason -> connections refused since start
    uint64_t messages_sent, bytes_sent;        // since start
    // Step duration histogram: counts per bucket (not cumulative), the last bucket has
    // no upper bound.
    std::vector<double> step_bucket_bounds;    // seconds, ascending
    std::vector<uint64_t> step_bucket_counts;  // step_bucket_bounds.size() + 1 entries
    double step_seconds_sum;
    uint64_t step_count;
    double step_p50_ms, step_p99_ms;  // over the last stats period
    uint64_t late_steps;              // steps that started more than 5 ms late
    bool store;                       // a records store is open
    uint64_t records_written, records_failed;
    // Games waiting in the local spool for the shared database; -1: no spool.
    int64_t spool_backlog = -1;
    // The fleet (relays -1 without one): relays open, players handed over to the process
    // holding their room, players who played their room here for want of an answer.
    int relays = -1;
    uint64_t handed_over = 0, fleet_played_here = 0;
};

struct status_snapshot {
    server_figures figures;
    std::vector<game_view> games;
    std::shared_ptr<const hall_of_fame> hall;  // null without a store
};

// A game as the page draws it.
struct game_frame {
    struct car_frame {
        int index;  // in the game's car table: human places first, then enemies
        bool enemy;
        std::string name;
        int status, x, y, angle, score, flags, flags_game, fuel, lives;
        bool connected;
    };
    long step;  // of the replay since its start, or of the loop
    std::string phase;
    int round, rounds, flags_left, flags_total, hiscore;
    std::string maze;                       // MAP_H rows of MAP_W codes '0'..'5'
    std::vector<car_frame> cars;            // places in use, then the enemies
    std::vector<std::array<int, 3>> smoke;  // x, y, size of each puff
    bool over = false;  // the last frame: a kept game's end, or the running game is gone
    bool gone = false;  // no running game has that number
};

// The loop and the HTTP side meet here: streams say which running games they show, the
// loop publishes a frame of each every FRAME_STEPS steps (or that it is gone).
class live_frames {
public:
    void watch(int id, int delta);
    void watched(std::vector<int> &ids) const;
    void publish(int id, std::shared_ptr<const game_frame> frame);
    std::shared_ptr<const game_frame> latest(int id) const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<int, int> viewers_;
    std::unordered_map<int, std::shared_ptr<const game_frame>> frames_;
};

// The one place a snapshot passes from the loop to its readers.
class snapshot_board {
public:
    void publish(std::shared_ptr<const status_snapshot> snap)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        latest_ = std::move(snap);
    }
    std::shared_ptr<const status_snapshot> latest() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return latest_;
    }

    live_frames live;  // frames of the running games a page is showing

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const status_snapshot> latest_;
};
