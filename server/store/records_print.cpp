// mazecar-server --records: the best scores and the last games of a store, in aligned
// columns for a terminal. Names and rooms are escaped: a player's bytes never reach the
// terminal as control characters.
#include "store/records.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

std::string escape_name(const std::string &name)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (char ch : name) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

static std::string utc_minute(int64_t ms)
{
    time_t t = static_cast<time_t>(ms / 1000);
    struct tm tm;
    char buf[32];
    if (!gmtime_r(&t, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm))
        return "?";
    return buf;
}

static std::string room_text(const std::string &room)
{
    return room.empty() ? "-" : escape_name(room);
}

static int width_of(const std::string &s, int at_least)
{
    return std::max(at_least, static_cast<int>(s.size()));
}

static void print_scores(const std::vector<score_row> &rows, FILE *out)
{
    int name_w = 4, room_w = 4;
    for (const score_row &r : rows) {
        name_w = width_of(escape_name(r.name), name_w);
        room_w = width_of(room_text(r.room), room_w);
    }
    fprintf(out, "%3s  %7s  %-*s  %-16s  %s\n", "#", "score", name_w, "name", "ended (UTC)",
            "room");
    int place = 1;
    for (const score_row &r : rows)
        fprintf(out, "%3d  %7d  %-*s  %-16s  %s\n", place++, r.score, name_w,
                escape_name(r.name).c_str(), utc_minute(r.ended_ms).c_str(),
                room_text(r.room).c_str());
}

static void print_games(const std::vector<game_row> &rows, FILE *out)
{
    int room_w = 4;
    for (const game_row &g : rows)
        room_w = width_of(room_text(g.room), room_w);
    fprintf(out, "%6s  %-16s  %6s  %-9s  %-*s  %s\n", "game", "ended (UTC)", "rounds", "result",
            room_w, "room", "players (score)");
    for (const game_row &g : rows) {
        std::string players;
        for (const auto &p : g.players)
            players += (players.empty() ? "" : ", ") + escape_name(p.first) + " (" +
                       std::to_string(p.second) + ")";
        fprintf(out, "%6lld  %-16s  %6d  %-9s  %-*s  %s\n", static_cast<long long>(g.id),
                utc_minute(g.ended_ms).c_str(), g.rounds_played,
                g.abandoned ? "abandoned" : "final", room_w, room_text(g.room).c_str(),
                players.c_str());
    }
}

std::unique_ptr<record_store> open_store_to_read(const std::string &path)
{
    struct stat st;
    if (path.empty() || path == "none" || stat(path.c_str(), &st) != 0) {
        // A folder the user may not enter (the service's) is not a missing file.
        std::string why = path.empty() || path == "none" || errno == ENOENT
                              ? "no such file (no game kept yet)"
                              : std::string("cannot open: ") + strerror(errno);
        fprintf(stderr, "mazecar-server: records store %s: %s\n", path.c_str(), why.c_str());
        return nullptr;
    }
    std::string error;
    std::unique_ptr<record_store> store = record_store::open_read_only(path, error);
    if (!store)
        fprintf(stderr, "mazecar-server: %s\n", error.c_str());
    return store;
}

int print_records(const std::string &path, int n, FILE *out)
{
    if (path == "none") {
        fprintf(stderr, "mazecar-server: --records: --db none keeps no records\n");
        return 1;
    }
    std::unique_ptr<record_store> store = open_store_to_read(path);
    if (!store)
        return 1;
    std::vector<score_row> best = store->best_scores(n);
    std::string failed = store->read_error();
    std::vector<game_row> last = store->last_games(n);
    if (failed.empty())
        failed = store->read_error();
    if (!failed.empty()) {
        fprintf(stderr, "mazecar-server: %s\n", failed.c_str());
        return 1;
    }
    print_record_tables(path, n, best, last, out);
    return 0;
}

void print_record_tables(const std::string &where, int n, const std::vector<score_row> &best,
                         const std::vector<game_row> &last, FILE *out)
{
    fprintf(out, "Best %d scores in %s\n", n, escape_name(where).c_str());
    print_scores(best, out);
    fprintf(out, "\nLast %d games\n", n);
    print_games(last, out);
}
