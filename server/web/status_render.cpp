// The snapshot as JSON for the page and as Prometheus text for monitoring. Pure
// functions of one snapshot; the HTTP side calls them on its own threads.
#include <cinttypes>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "web/status_http.h"
#include "wire.h"

// Names and rooms are bytes from players. JSON text must be UTF-8, and the library
// throws on anything else, so every byte outside ASCII becomes '?'. Control bytes stay:
// the library escapes them.
std::string ascii_text(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return text;
}

namespace {

// The state a page shows for a car's wire status.
const char *state_name(int status)
{
    switch (status) {
    case 0: return "none";
    case 1: return "drive";
    case 2: return "burst";
    case 4: return "no_fuel";
    case 6: return "retired";
    default: return "unknown";
    }
}

nlohmann::json car_json(const car_view &c)
{
    return {{"index", c.index},
            {"enemy", c.enemy},
            {"name", ascii_text(c.name)},
            {"status", c.status},
            {"state", state_name(c.status)},
            {"x", c.x},
            {"y", c.y},
            {"score", c.score},
            {"flags", c.flags},
            {"flags_game", c.flags_game},
            {"fuel", c.fuel},
            {"lives", c.lives},
            {"wins", c.wins},
            {"connected", c.connected},
            {"address", ascii_text(c.address)}};
}

nlohmann::json game_json(const game_view &g)
{
    nlohmann::json cars = nlohmann::json::array();
    for (const car_view &c : g.cars)
        cars.push_back(car_json(c));
    return {{"id", g.id},
            {"room", ascii_text(g.room)},
            {"phase", ascii_text(g.phase)},
            {"round", g.round},
            {"rounds", g.rounds},
            {"places", g.places},
            {"enemies", g.enemies},
            {"watchers", g.watchers},
            {"cars", cars},
            {"maze", ascii_text(g.maze)}};
}

nlohmann::json hall_json(const hall_of_fame &h)
{
    nlohmann::json best = nlohmann::json::array();
    for (const score_row &r : h.best)
        best.push_back({{"name", ascii_text(r.name)},
                        {"score", r.score},
                        {"ended_ms", r.ended_ms},
                        {"room", ascii_text(r.room)},
                        {"game", r.game_id}});
    nlohmann::json recent = nlohmann::json::array();
    for (const game_row &r : h.recent) {
        nlohmann::json players = nlohmann::json::array();
        for (const auto &p : r.players)
            players.push_back({{"name", ascii_text(p.first)}, {"score", p.second}});
        recent.push_back({{"id", r.id},
                          {"started_ms", r.started_ms},
                          {"ended_ms", r.ended_ms},
                          {"room", ascii_text(r.room)},
                          {"rounds_played", r.rounds_played},
                          {"abandoned", r.abandoned},
                          {"players", players}});
    }
    return {{"best", best}, {"recent", recent}};
}

nlohmann::json figures_json(const server_figures &f)
{
    nlohmann::json refusals = nlohmann::json::object();
    for (const auto &r : f.refusals)
        refusals[ascii_text(r.first)] = r.second;
    nlohmann::json out = {{"started_ms", f.started_ms},
                          {"taken_ms", f.taken_ms},
                          {"connections", f.connections},
                          {"checking_in", f.checking_in},
                          {"connections_accepted", f.connections_accepted},
                          {"games_opened", f.games_opened},
                          {"games_lobby", f.games_lobby},
                          {"games_playing", f.games_playing},
                          {"players", f.players},
                          {"watchers", f.watchers},
                          {"refusals", refusals},
                          {"messages_sent", f.messages_sent},
                          {"bytes_sent", f.bytes_sent},
                          {"step_count", f.step_count},
                          {"step_seconds_sum", f.step_seconds_sum},
                          {"step_p50_ms", f.step_p50_ms},
                          {"step_p99_ms", f.step_p99_ms},
                          {"late_steps", f.late_steps},
                          {"store", f.store}};
    if (f.store) {
        out["records_written"] = f.records_written;
        out["records_failed"] = f.records_failed;
    }
    if (f.spool_backlog >= 0)
        out["spool_backlog"] = f.spool_backlog;
    if (f.relays >= 0) {
        out["relays"] = f.relays;
        out["handed_over"] = f.handed_over;
        out["fleet_played_here"] = f.fleet_played_here;
    }
    return out;
}

// A number as Prometheus reads it: integers plainly, fractions without a tail of
// rounding digits.
std::string number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

std::string number(uint64_t v)
{
    return std::to_string(v);
}

// A label value: backslash, double quote and line feed escaped.
std::string label(const std::string &text)
{
    std::string out;
    for (char c : ascii_text(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void family(std::string &out, const char *name, const char *type, const char *help)
{
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " " + type + "\n";
}

void sample(std::string &out, const std::string &name, const std::string &value)
{
    out += name + " " + value + "\n";
}

const char *const phases[] = {"lobby",     "ready",       "play",
                              "pause",     "stage_clear", "round_result",
                              "game_over", "recording",   "final_result"};

// Gauges: what is there now. Every known phase is listed, at zero too, so a series
// never vanishes.
void metrics_gauges(std::string &out, const status_snapshot &s)
{
    const server_figures &f = s.figures;
    std::map<std::string, int> by_phase;
    for (const char *p : phases)
        by_phase[p] = 0;
    for (const game_view &g : s.games)
        by_phase[g.phase]++;
    family(out, "mazecar_games", "gauge", "Games in this process by phase.");
    for (const auto &p : by_phase)
        sample(out, "mazecar_games{phase=\"" + label(p.first) + "\"}", std::to_string(p.second));

    family(out, "mazecar_players", "gauge", "Players holding a place in a game.");
    sample(out, "mazecar_players", std::to_string(f.players));
    family(out, "mazecar_watchers", "gauge", "Connected clients watching a game.");
    sample(out, "mazecar_watchers", std::to_string(f.watchers));
    family(out, "mazecar_connections", "gauge", "Open game connections.");
    sample(out, "mazecar_connections", std::to_string(f.connections));
    family(out, "mazecar_connections_checking_in", "gauge",
           "Game connections that have not finished checking in.");
    sample(out, "mazecar_connections_checking_in", std::to_string(f.checking_in));
    family(out, "mazecar_start_time_seconds", "gauge", "Unix time the server started.");
    sample(out, "mazecar_start_time_seconds", number(static_cast<double>(f.started_ms) / 1000.0));
}

// Counters: what happened since the start.
void metrics_counters(std::string &out, const server_figures &f)
{
    family(out, "mazecar_refused_connections_total", "counter",
           "Game connections refused since the start, by reason.");
    for (const auto &r : f.refusals)
        sample(out, "mazecar_refused_connections_total{reason=\"" + label(r.first) + "\"}",
               number(r.second));
    family(out, "mazecar_connections_accepted_total", "counter",
           "Game connections accepted (within the limits) since the start.");
    sample(out, "mazecar_connections_accepted_total", number(f.connections_accepted));
    family(out, "mazecar_games_opened_total", "counter", "Games opened since the start.");
    sample(out, "mazecar_games_opened_total", number(f.games_opened));
    family(out, "mazecar_messages_sent_total", "counter", "Game messages sent since the start.");
    sample(out, "mazecar_messages_sent_total", number(f.messages_sent));
    family(out, "mazecar_bytes_sent_total", "counter",
           "Bytes of game messages sent since the start.");
    sample(out, "mazecar_bytes_sent_total", number(f.bytes_sent));
}

// The step times. The snapshot counts each bucket on its own; Prometheus wants each
// bucket to hold every step up to its bound, and +Inf all of them.
void metrics_steps(std::string &out, const server_figures &f)
{
    family(out, "mazecar_step_duration_seconds", "histogram", "Time one step of every game took.");
    uint64_t cumulative = 0;
    const size_t bounded = std::min(f.step_bucket_bounds.size(), f.step_bucket_counts.size());
    for (size_t i = 0; i < bounded; i++) {
        cumulative += f.step_bucket_counts[i];
        sample(out,
               "mazecar_step_duration_seconds_bucket{le=\"" + number(f.step_bucket_bounds[i]) +
                   "\"}",
               number(cumulative));
    }
    for (size_t i = bounded; i < f.step_bucket_counts.size(); i++)
        cumulative += f.step_bucket_counts[i];
    sample(out, "mazecar_step_duration_seconds_bucket{le=\"+Inf\"}", number(cumulative));
    sample(out, "mazecar_step_duration_seconds_sum", number(f.step_seconds_sum));
    sample(out, "mazecar_step_duration_seconds_count", number(cumulative));
    family(out, "mazecar_late_steps_total", "counter", "Steps that started more than 5 ms late.");
    sample(out, "mazecar_late_steps_total", number(f.late_steps));
}

}  // namespace

std::string status_json(const status_snapshot &s)
{
    nlohmann::json games = nlohmann::json::array();
    for (const game_view &g : s.games)
        games.push_back(game_json(g));
    nlohmann::json out = {{"server", figures_json(s.figures)},
                          {"map_w", MAP_W},
                          {"map_h", MAP_H},
                          {"cell_size", CELL_SIZE},
                          {"games", games},
                          {"hall", nullptr}};
    if (s.hall)
        out["hall"] = hall_json(*s.hall);
    return out.dump();
}

std::string status_metrics(const status_snapshot &s)
{
    std::string out;
    metrics_gauges(out, s);
    metrics_counters(out, s.figures);
    metrics_steps(out, s.figures);
    // The records store's counters only while a store is open.
    const server_figures &f = s.figures;
    if (f.store) {
        family(out, "mazecar_records_written_total", "counter", "Game records stored.");
        sample(out, "mazecar_records_written_total", number(f.records_written));
        family(out, "mazecar_records_failed_total", "counter", "Game records the store refused.");
        sample(out, "mazecar_records_failed_total", number(f.records_failed));
    }
    if (f.spool_backlog >= 0) {
        family(out, "mazecar_spool_backlog_games", "gauge",
               "Finished games in the local spool, waiting for the shared database.");
        sample(out, "mazecar_spool_backlog_games", number(static_cast<double>(f.spool_backlog)));
    }
    if (f.relays >= 0) {
        family(out, "mazecar_relays", "gauge",
               "Players relayed to the process holding their room.");
        sample(out, "mazecar_relays", number(static_cast<double>(f.relays)));
        family(out, "mazecar_handed_over_total", "counter",
               "Players handed over to the process holding their room.");
        sample(out, "mazecar_handed_over_total", number(f.handed_over));
    }
    return out;
}
