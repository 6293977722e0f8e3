// Stepping the games and carrying their messages to the clients; handing finished and
// abandoned games to the records store and releasing their final results once kept.
#include <cstdio>
#include <utility>

#include "log.h"
#include "net/clock.h"
#include "net/connections.h"
#include "store/replays.h"

void game_server::touch(hosted_game *hg)
{
    if (!hg->touched) {
        hg->touched = true;
        touched_.push_back(hg);
    }
}

// Hands the game's messages to its clients. A client whose queue is full is dropped,
// which the game hears as a player leaving (and may answer with messages of its own,
// taken in the same pass). The messages are taken out of the game first, so that a
// leave changes only what comes after them.
void game_server::deliver(hosted_game *hg)
{
    game &g = hg->g;
    stats.outbox_dropped += static_cast<uint64_t>(g.out.dropped);
    g.out.dropped = 0;
    while (!g.out.msgs.empty()) {
        std::swap(sending_.bytes, g.out.bytes);
        std::swap(sending_.msgs, g.out.msgs);
        g.out.clear();
        for (const outbox::entry &e : sending_.msgs)
            hand_out(hg, e);
        sending_.clear();
    }
}

// One message to its audience among the game's clients; a position message takes the
// place of an unsent one at the end of a client's queue.
void game_server::hand_out(hosted_game *hg, const outbox::entry &e)
{
    const unsigned char *bytes = sending_.data(e);
    size_t len = static_cast<size_t>(e.len);
    for (int s = 0; s < hg->g.cfg.slots; s++) {
        int index = hg->conn[s];
        if (index < 0 || (e.slot != TO_ALL && e.slot != s))
            continue;
        conn &c = conns[static_cast<size_t>(index)];
        if (queue_message(c, bytes, len))
            want_flush(c);
    }
}

// Queues one game message for the client, a position message in the place of an unsent
// one, and counts what will go out; false after dropping a client whose queue is full.
bool game_server::queue_message(conn &c, const unsigned char *bytes, size_t len)
{
    size_t replaced = 0;
    bool position = get_be32(bytes) == TAG_PLAYERINFO && !settings_.bench_nagle;
    if (!(position ? c.out.push_position(bytes, len, &replaced) : c.out.push(bytes, len))) {
        drop(c, DROPPED_NOT_READING, "not reading (output queue full)");
        return false;
    }
    stats.messages_sent += replaced ? 0 : 1;  // a replaced message never went out
    stats.bytes_sent += len - replaced;
    return true;
}

void game_server::finish_turn()
{
    for (size_t k = 0; k < touched_.size(); k++)
        deliver(touched_[k]);
    for (hosted_game *hg : touched_) {
        hg->touched = false;
        if (hg->g.connected_count() == 0)
            close_game(hg);
    }
    touched_.clear();
    flush_all();
}

// ---- Records ----

void game_server::record_game(hosted_game *hg, bool abandoned)
{
    hg->recorded = true;
    game_record rec = record_of(*hg, wall_clock_ms(), abandoned);
    if (rec.uid.empty())  // a game gets its id when it begins; a record never goes without
        rec.uid = next_game_uid();
    rec.replay_steps = hg->g.replay_steps();
    rec.replay = hg->g.take_replay();
    if (hg->g.replay_cut()) {
        stats.replays_cut++;
        log_.event("game %d: its replay passed the --replay-kb limit and is not kept", hg->id);
    }
    uint64_t ticket = next_ticket_++;
    if (store_ && store_->submit(ticket, std::move(rec)))
        tickets_[ticket] = hg->id;
    else
        hg->g.record_done();  // nothing will come back: the result goes out now
}

// Games whose record is stored (or could not be) announce their final result.
void game_server::take_record_completions()
{
    if (!store_ || tickets_.empty())
        return;
    completions_.clear();
    store_->take_completions(completions_);
    for (auto [ticket, ok] : completions_) {
        auto it = tickets_.find(ticket);
        if (it == tickets_.end())
            continue;
        int id = it->second;
        tickets_.erase(it);
        for (const auto &hg : places.games)
            if (hg->id == id) {
                hg->g.record_done();
                touch(hg.get());
            }
    }
}

// A game whose players have all left: kept as abandoned when it was under way.
void game_server::close_game(hosted_game *hg)
{
    if (store_ && store_->keeps_records() && hg->started_ms != 0 && !hg->recorded &&
        hg->g.under_way())
        record_game(hg, true);
    if (fleet_ && !hg->room.empty())
        fleet_->release(hg->room);
    places.close(hg);
}

void game_server::share_best_score()
{
    for (const auto &hg : places.games)
        if (hg->g.hiscore > places.best_score)
            places.best_score = hg->g.hiscore;
    for (const auto &hg : places.games)
        hg->g.raise_hiscore(places.best_score);
}

// The store's best score, which in a fleet's shared database holds every process's
// games, becomes the high score of this process's games too (the next step shares it).
void game_server::take_fleet_best()
{
    if (!store_)
        return;
    std::shared_ptr<const hall_of_fame> h = store_->hall();
    if (h && !h->best.empty() && h->best.front().score > places.best_score)
        places.best_score = h->best.front().score;
}

// 32 hex digits: this process's random prefix and its count of games begun.
std::string game_server::next_game_uid()
{
    char text[33];
    snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(uid_prefix_),
             static_cast<unsigned long long>(++uid_count_));
    return text;
}

void game_server::step_all(long long lateness_us)
{
    long long t0 = monotonic_us();
    steps++;
    for (const auto &hg : places.games) {
        game &g = hg->g;
        bool was_under_way = g.under_way();
        g.step();
        if (was_under_way != g.under_way()) {  // a game began, or went back to the lobby
            hg->started_ms = g.under_way() ? wall_clock_ms() : 0;
            hg->recorded = false;
            hg->uid = g.under_way() ? next_game_uid() : "";
        }
        if (g.phase == PH_RECORDING && !hg->recorded)
            record_game(hg.get(), false);
        deliver(hg.get());
    }
    step_views();
    share_best_score();
    for (auto [index, gen] : stalled_) {  // want_flush only lists: stalled_ stays as it is
        conn &c = conns[static_cast<size_t>(index)];
        if (c.state != CS_FREE && c.gen == gen)
            want_flush(c);
    }
    stalled_.clear();
    flush_all();
    stats.note_step(monotonic_us() - t0, lateness_us);
}
