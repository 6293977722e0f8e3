// Rooms and quick play.
#include "game/placement.h"

#include <cctype>
#include <cstring>

#include "log.h"

void split_room(const char *raw, std::string &name, std::string &room)
{
    name = raw ? raw : "";
    room.clear();
    size_t at = name.rfind('@');
    if (at == std::string::npos)
        return;
    std::string r = name.substr(at + 1);
    if (r.empty() || r.size() > static_cast<size_t>(ROOM_NAME_MAX))
        return;
    for (char ch : r)
        if (!isalnum(static_cast<unsigned char>(ch)))
            return;
    room = r;
    name.resize(at);
}

placement::placement(const game_config &base, int max_games) : games_max(max_games), base_(base) {}

uint32_t placement::seed_of(int n) const
{
    if (n == 0)
        return base_.seed;
    // splitmix32 of the seed and the number: neighbouring games get unrelated mazes.
    uint32_t z = base_.seed + 0x9e3779b9u * static_cast<uint32_t>(n);
    z = (z ^ (z >> 16)) * 0x85ebca6bu;
    z = (z ^ (z >> 13)) * 0xc2b2ae35u;
    return z ^ (z >> 16);
}

hosted_game *placement::quick_game_with_place() const
{
    hosted_game *newest = nullptr;
    for (const auto &hg : games)
        if (hg->room.empty() && hg->g.in_lobby() && hg->g.free_place() >= 0 &&
            (!newest || hg->id > newest->id))
            newest = hg.get();
    return newest;
}

bool placement::has_room_for_newcomer() const
{
    return static_cast<int>(games.size()) < games_max || quick_game_with_place() != nullptr;
}

hosted_game *placement::open_game(const std::string &room)
{
    if (static_cast<int>(games.size()) >= games_max)
        return nullptr;
    game_config cfg = base_;
    cfg.seed = seed_of(opened_);
    if (!room.empty() && !cfg.rivals_in_rooms)
        cfg.rivals = 0;  // a room is for people who meet there
    auto hg = std::make_unique<hosted_game>(cfg, best_score, scratch_);
    hg->id = ++opened_;
    hg->g.id = hg->id;
    hg->g.record_replays(replay_bytes_max);
    hg->room = room;
    hg->index = games.size();
    if (!room.empty())
        rooms_[room] = hg.get();
    games.push_back(std::move(hg));
    hosted_game *made = games.back().get();
    made->g.log = log;
    if (log)
        log->event("game %d opened%s%s, seed %u", made->id, room.empty() ? "" : " in room ",
                   room.c_str(), cfg.seed);
    return made;
}

bool placement::place(const std::string &room, placed &out)
{
    out = placed{nullptr, -1, false};
    if (!room.empty()) {
        auto it = rooms_.find(room);
        hosted_game *hg = it != rooms_.end() ? it->second : open_game(room);
        if (hg && hg->g.free_place() >= 0) {
            out.hg = hg;
            out.slot = hg->g.free_place();
            return true;
        }
        out.room_was_full = hg != nullptr;
    }
    hosted_game *hg = quick_game_with_place();
    if (!hg)
        hg = open_game("");
    if (!hg)
        return false;
    out.hg = hg;
    out.slot = hg->g.free_place();
    return out.slot >= 0;
}

void placement::close(hosted_game *hg)
{
    if (log)
        log->event("game %d closed", hg->id);
    if (!hg->room.empty())
        rooms_.erase(hg->room);
    size_t i = hg->index;
    if (i != games.size() - 1) {
        std::swap(games[i], games.back());
        games[i]->index = i;
    }
    games.pop_back();
}

game_record record_of(const hosted_game &hg, int64_t ended_ms, bool abandoned)
{
    const game &g = hg.g;
    game_record rec{};
    rec.started_ms = hg.started_ms;
    rec.ended_ms = ended_ms;
    rec.seed = g.cfg.seed;
    rec.rounds_played = g.round_no;
    rec.places = g.cfg.slots;
    rec.enemies = g.cfg.enemies;
    rec.room = hg.room;
    rec.abandoned = abandoned;
    rec.uid = hg.uid;
    note_result(g, rec);
    return rec;
}

void note_result(const game &g, game_record &rec)
{
    rec.rounds_played = g.round_no;
    rec.players.clear();
    rec.rounds.clear();
    for (int s = 0; s < g.cfg.slots; s++) {
        const car &c = g.cars[s];
        if (g.person_in_game(s))
            rec.players.push_back(player_record{c.name, s, c.score, c.flags_game, c.wins,
                                                c.connected && c.status != PS_RETIRED});
    }
    for (const round_note &r : g.rounds_played)
        rec.rounds.push_back(
            round_record{r.number, r.winner, r.winner >= 0 ? g.cars[r.winner].name : "", r.flags});
}
