// Placement: which game a checked-in player joins. A name "player@room" joins that
// room's game (made on first use); any other name joins the newest quick-play game
// still in its lobby with a free place, or a new one. A game is closed when its last
// player leaves; at most games_max are open at once. Quick-play games, and rooms when
// the configuration says so, seat computer rivals when their lobby ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "game/game.h"
#include "store/records.h"

constexpr int ROOM_NAME_MAX = 8;  // letters or digits

struct hosted_game {
    hosted_game(const game_config &cfg, int best, std::shared_ptr<path_scratch> scratch)
        : g(cfg, best, std::move(scratch)), conn{}
    {
        for (int &c : conn)
            c = -1;
    }
    game g;
    int id = 0;
    std::string room;          // "" for quick play
    int conn[MAXPLAYER];       // connection on each human place, -1 none
    size_t index = 0;          // position in placement::games
    bool touched = false;      // has output or lost a player this turn
    long long started_ms = 0;  // Unix time the game under way began; 0 in the lobby
    bool recorded = false;     // this game's record has gone to the store
    std::string uid;           // fleet-wide id of the game under way, made when it began
};

// Splits what a client sent as its name into the name shown and the room: "bob@club7"
// gives "bob" and "club7"; a name without a well-formed room keeps its whole text.
void split_room(const char *raw, std::string &name, std::string &room);

// The game's record for the store: its people with their results (rivals are never
// kept as players; a round a rival won names it, its name marked) and its rounds.
game_record record_of(const hosted_game &hg, int64_t ended_ms, bool abandoned);
// What the record keeps of a game's result: rounds played, its people (in place order)
// with their results, and its rounds; also what a replay is checked against.
void note_result(const game &g, game_record &rec);

struct placed {
    hosted_game *hg;
    int slot;
    bool room_was_full;  // asked for a room without a free place; got quick play
};

class placement {
public:
    placement(const game_config &base, int games_max);
    // A place for a newcomer exists or a game can still be opened.
    bool has_room_for_newcomer() const;
    // Finds or makes a game and a free place; false when every game is full and no
    // more may be opened.
    bool place(const std::string &room, placed &out);
    // A game of that room is open here.
    bool has_room(const std::string &room) const { return rooms_.count(room) > 0; }
    // Closes the game (it has no players left).
    void close(hosted_game *hg);
    // Seed of the n-th game opened (0 first): the first keeps the server's seed.
    uint32_t seed_of(int n) const;
    const game_config &base() const { return base_; }
    const std::shared_ptr<path_scratch> &scratch() const { return scratch_; }
    int opened() const { return opened_; }  // games opened since the start

    std::vector<std::unique_ptr<hosted_game>> games;
    int best_score = 0;           // the best score shown as the high score in new games
    size_t replay_bytes_max = 0;  // games record their replays up to this size; 0 none
    int games_max;
    server_log *log = nullptr;  // where games opening and closing are told, and their games'
                                // events; null: nowhere

private:
    hosted_game *open_game(const std::string &room);
    hosted_game *quick_game_with_place() const;
    game_config base_;
    int opened_ = 0;
    std::unordered_map<std::string, hosted_game *> rooms_;
    // The games here step one after another on the loop's thread: one set of path maps.
    std::shared_ptr<path_scratch> scratch_ = std::make_shared<path_scratch>();
};
