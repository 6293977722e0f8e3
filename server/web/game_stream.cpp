// Frames of a game for the page's canvas, the board the loop publishes them on, and the
// streams of events a page reads: live from the board, or a kept game played again.
#include "web/game_stream.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "web/status_http.h"

namespace {

nlohmann::json car_json(const game_frame::car_frame &c)
{
    return {{"index", c.index},           {"enemy", c.enemy}, {"name", c.name},
            {"status", c.status},         {"x", c.x},         {"y", c.y},
            {"angle", c.angle},           {"score", c.score}, {"flags", c.flags},
            {"flags_game", c.flags_game}, {"fuel", c.fuel},   {"lives", c.lives},
            {"connected", c.connected}};
}

std::string event(const char *name, const nlohmann::json &data)
{
    return std::string("event: ") + name + "\ndata: " + data.dump() + "\n\n";
}

}  // namespace

game_frame frame_of(const game &g, long step)
{
    game_frame f;
    f.step = step;
    f.phase = g.phase_name();
    f.round = g.round_no;
    f.rounds = g.cfg.rounds;
    f.flags_left = g.flags_left;
    f.flags_total = g.flags_total;
    f.hiscore = g.hiscore;
    f.maze.resize(MAP_BYTES);
    for (int k = 0; k < MAP_BYTES; k++)
        f.maze[static_cast<size_t>(k)] = static_cast<char>('0' + g.field[k / MAP_W][k % MAP_W]);
    for (int i = 0; i < g.car_total(); i++) {
        const car &c = g.cars[i];
        if (!g.is_enemy(i) && !c.connected && !c.in_game)
            continue;
        f.cars.push_back(game_frame::car_frame{
            i, g.is_enemy(i), ascii_text(std::string(c.name, strnlen(c.name, NAME_BYTES))),
            c.status, c.x, c.y, c.angle, c.score, c.flags, c.flags_game, c.fuel, c.lives,
            c.connected});
    }
    for (const puff &p : g.puffs)
        if (p.size > 0)
            f.smoke.push_back({p.x, p.y, p.size});
    return f;
}

std::string frame_event(const game_frame &f, const game_frame *prev)
{
    nlohmann::json cars = nlohmann::json::array();
    for (const auto &c : f.cars)
        cars.push_back(car_json(c));
    nlohmann::json j = {{"map_w", MAP_W},
                        {"map_h", MAP_H},
                        {"cell_size", CELL_SIZE},
                        {"step", f.step},
                        {"phase", f.phase},
                        {"round", f.round},
                        {"rounds", f.rounds},
                        {"flags_left", f.flags_left},
                        {"flags_total", f.flags_total},
                        {"hiscore", f.hiscore},
                        {"cars", cars},
                        {"smoke", f.smoke},
                        {"over", f.over}};
    if (!prev || prev->maze != f.maze)
        j["maze"] = f.maze;
    return event("frame", j);
}

// ---- The board ----

void live_frames::watch(int id, int delta)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int &n = viewers_[id];
    n += delta;
    if (n <= 0) {
        viewers_.erase(id);
        frames_.erase(id);
    }
}

void live_frames::watched(std::vector<int> &ids) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &v : viewers_)
        ids.push_back(v.first);
}

void live_frames::publish(int id, std::shared_ptr<const game_frame> frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (viewers_.count(id))
        frames_[id] = std::move(frame);
}

std::shared_ptr<const game_frame> live_frames::latest(int id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = frames_.find(id);
    return it == frames_.end() ? nullptr : it->second;
}

// ---- Streams ----

game_stream::game_stream(live_frames &board, int id) : board_(&board), id_(id)
{
    board_->watch(id_, 1);
}

game_stream::game_stream(std::string replay, long long now_ms) : start_ms_(now_ms)
{
    if (!replay_.open(std::move(replay)))
        error_ = "this game's replay cannot be played: " + replay_.why;
}

std::unique_ptr<game_stream> game_stream::ended(std::string reason)
{
    std::unique_ptr<game_stream> s(new game_stream());
    s->error_ = std::move(reason);
    return s;
}

game_stream::~game_stream()
{
    if (board_)
        board_->watch(id_, -1);
}

std::string game_stream::emit(std::shared_ptr<const game_frame> f)
{
    std::string out = frame_event(*f, last_.get());
    last_ = std::move(f);
    if (last_->over) {
        out += event("end", {{"reason", last_->gone ? "no such game is running" : "final result"}});
        done_ = true;
    }
    return out;
}

std::string game_stream::poll_live()
{
    std::shared_ptr<const game_frame> f = board_->latest(id_);
    if (!f || (last_ && f->step == last_->step && !f->gone))
        return "";
    return emit(std::move(f));
}

// Steps the kept game up to where the clock says it is (a frame's worth at least, and
// no more than FRAME_CATCH_UP_MAX steps at once), then shows it.
std::string game_stream::poll_replay(long long now_ms)
{
    long due = static_cast<long>((now_ms - start_ms_) * TICK_HZ / 1000);
    if (last_ && due < replay_.steps() + FRAME_STEPS)
        return "";
    game &g = *replay_.g;
    bool over = false;
    for (int k = 0; k < FRAME_CATCH_UP_MAX && replay_.steps() < due && !over; k++) {
        over = !replay_.next();
        g.out.clear();
    }
    if (over && !replay_.why.empty()) {
        done_ = true;
        return event("end", {{"reason", "the replay breaks off: " + replay_.why}});
    }
    if (over)
        g.record_done();  // the final result, as the players saw it
    auto f = std::make_shared<game_frame>(frame_of(g, replay_.steps()));
    f->over = over;
    g.out.clear();
    return emit(std::move(f));
}

bool game_stream::ready(long long now_ms) const
{
    if (done_ || !error_.empty())
        return true;
    if (!board_)
        return !last_ || (now_ms - start_ms_) * TICK_HZ / 1000 >= replay_.steps() + FRAME_STEPS;
    std::shared_ptr<const game_frame> f = board_->latest(id_);
    return f && (!last_ || f->step != last_->step || f->gone);
}

std::string game_stream::poll(long long now_ms)
{
    if (done_)
        return "";
    if (!error_.empty()) {
        done_ = true;
        return event("end", {{"reason", error_}});
    }
    return board_ ? poll_live() : poll_replay(now_ms);
}
