// The records store on real files: schema and migration, a game read back, the faults
// at opening, a full disk while running, a stalled disk, and the --records listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sched.h>
#include <sqlite3.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "log.h"
#include "store/records.h"
#include "store_helpers.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto WAIT = std::chrono::seconds(30);  // generous limit of every wait

game_record sample_game(int64_t ended_ms, const std::string &room = "")
{
    game_record g;
    g.started_ms = ended_ms - 300000;
    g.ended_ms = ended_ms;
    g.seed = 4000000000u;
    g.rounds_played = 3;
    g.places = 4;
    g.enemies = 3;
    g.room = room;
    g.abandoned = false;
    g.players = {{"ann", 0, 1200, 10, 1, true},
                 {std::string("b\0b\x1b", 4), 1, 2500, 21, 2, true},
                 {"cy", 3, 300, 3, 0, false}};
    g.rounds = {{1, 1, std::string("b\0b\x1b", 4), 10}, {2, 0, "ann", 10}, {3, -1, "", 10}};
    return g;
}

// A server log written to a file of the test's own, read back once written.
struct captured_log {
    FILE *file = tmpfile();
    server_log log{fileno(file)};
    ~captured_log() { fclose(file); }
    std::string lines()
    {
        EXPECT_TRUE(log.drain(30000));
        std::string text(4096, '\0');
        ssize_t n = pread(fileno(file), text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    }
};

// Waits for the completion of ticket; false when it did not come in time.
bool wait_done(record_store &store, uint64_t ticket, bool *ok)
{
    std::vector<std::pair<uint64_t, bool>> done;
    auto end = clock_type::now() + WAIT;
    while (clock_type::now() < end) {
        store.take_completions(done);
        for (const auto &d : done)
            if (d.first == ticket) {
                *ok = d.second;
                return true;
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

bool write_and_wait(record_store &store, uint64_t ticket, game_record rec)
{
    bool ok = false;
    return store.submit(ticket, std::move(rec)) && wait_done(store, ticket, &ok) && ok;
}

// A single-value query on the file, outside the store.
std::string query(const std::string &path, const char *sql)
{
    sqlite3 *db = nullptr;
    std::string out = "(error)";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char *t = sqlite3_column_text(st, 0);
        out = t ? reinterpret_cast<const char *>(t) : "(null)";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

void run_sql(const std::string &path, const char *sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// A file as the first version of the server left it: no abandoned flag.
const char *const VERSION_1_FILE =
    "CREATE TABLE games (id INTEGER PRIMARY KEY, started_ms INTEGER NOT NULL,"
    " ended_ms INTEGER NOT NULL, seed INTEGER NOT NULL, rounds_played INTEGER NOT NULL,"
    " places INTEGER NOT NULL, enemies INTEGER NOT NULL, room BLOB NOT NULL);"
    "CREATE TABLE players (game_id INTEGER NOT NULL REFERENCES games(id) ON DELETE CASCADE,"
    " place INTEGER NOT NULL, name BLOB NOT NULL, score INTEGER NOT NULL,"
    " flags INTEGER NOT NULL, wins INTEGER NOT NULL, finished INTEGER NOT NULL);"
    "CREATE TABLE rounds (game_id INTEGER NOT NULL REFERENCES games(id) ON DELETE CASCADE,"
    " number INTEGER NOT NULL, winner_place INTEGER, winner_name BLOB,"
    " flags INTEGER NOT NULL);"
    "CREATE INDEX games_by_end ON games(ended_ms);"
    "CREATE INDEX players_by_game ON players(game_id);"
    "CREATE INDEX players_by_score ON players(score);"
    "CREATE INDEX rounds_by_game ON rounds(game_id);"
    "INSERT INTO games VALUES (7, 1000, 2000, 5, 2, 2, 1, X'');"
    "INSERT INTO players VALUES (7, 0, CAST('old' AS BLOB), 900, 9, 2, 1);"
    "INSERT INTO rounds VALUES (7, 1, 0, CAST('old' AS BLOB), 5);"
    "PRAGMA user_version=1;";

TEST(RecordsSchema, NewFileAndFirstVersionFileBothEndAtTheCurrentSchema)
{
    temp_dir dir;
    std::string error, fresh = dir.path + "/a/b/records.db";
    {
        auto store = record_store::open(fresh, error);
        ASSERT_TRUE(store) << error;
        EXPECT_TRUE(store->keeps_records());
        EXPECT_TRUE(write_and_wait(*store, 1, sample_game(5000)));
    }
    EXPECT_EQ(query(fresh, "PRAGMA user_version"), std::to_string(RECORDS_SCHEMA_VERSION));
    EXPECT_EQ(query(fresh, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(std::filesystem::status(dir.path + "/a").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);

    std::string old = dir.path + "/old.db";
    run_sql(old, VERSION_1_FILE);
    auto store = record_store::open(old, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(query(old, "PRAGMA user_version"), std::to_string(RECORDS_SCHEMA_VERSION));
    EXPECT_EQ(store->best_score(), 900);
    game_record left = sample_game(3000);
    left.abandoned = true;
    ASSERT_TRUE(write_and_wait(*store, 2, left));
    std::vector<game_row> games = store->last_games(5);
    ASSERT_EQ(games.size(), 2u);
    EXPECT_TRUE(games[0].abandoned);
    EXPECT_EQ(games[1].id, 7);
    EXPECT_FALSE(games[1].abandoned);
    ASSERT_EQ(games[1].players.size(), 1u);
    EXPECT_EQ(games[1].players[0], std::make_pair(std::string("old"), 900));
}

TEST(RecordsStore, GameReadsBackWithPlayersScoresWinnerAndRoom)
{
    temp_dir dir;
    std::string error, path = dir.path + "/records.db";
    auto store = record_store::open(path, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->best_score(), 0);
    ASSERT_TRUE(store->hall());
    EXPECT_TRUE(store->hall()->best.empty());

    const std::string bee("b\0b\x1b", 4);
    ASSERT_TRUE(write_and_wait(*store, 10, sample_game(1000000, "den")));
    game_record later = sample_game(2000000);
    later.players = {{"ann", 0, 1800, 12, 3, true}};
    later.rounds = {{1, 0, "ann", 10}};
    ASSERT_TRUE(write_and_wait(*store, 11, later));
    EXPECT_EQ(store->written(), 2u);
    EXPECT_EQ(store->failed(), 0u);
    EXPECT_EQ(store->best_score(), 2500);

    std::vector<score_row> best = store->best_scores(3);
    ASSERT_EQ(best.size(), 3u);
    EXPECT_EQ(best[0].name, bee);
    EXPECT_EQ(best[0].score, 2500);
    EXPECT_EQ(best[0].room, "den");
    EXPECT_EQ(best[0].ended_ms, 1000000);
    EXPECT_EQ(best[1].score, 1800);
    EXPECT_EQ(best[1].room, "");
    EXPECT_EQ(best[2].score, 1200);
    std::vector<score_row> week = store->best_scores(10, 1500000);
    ASSERT_EQ(week.size(), 1u);
    EXPECT_EQ(week[0].score, 1800);

    std::vector<game_row> last = store->last_games(20);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].ended_ms, 2000000);
    EXPECT_EQ(last[1].room, "den");
    EXPECT_EQ(last[1].started_ms, 700000);
    EXPECT_EQ(last[1].rounds_played, 3);
    ASSERT_EQ(last[1].players.size(), 3u);
    EXPECT_EQ(last[1].players[0], std::make_pair(bee, 2500));
    EXPECT_EQ(last[1].players[2], std::make_pair(std::string("cy"), 300));

    EXPECT_EQ(store->player_games(bee, 10).size(), 1u);
    EXPECT_EQ(store->player_games("ann", 10).size(), 2u);
    EXPECT_EQ(store->player_games("b", 10).size(), 0u);
    EXPECT_EQ(store->player_games("ann", 1).size(), 1u);

    // Round winners, the seed and who finished, as stored.
    EXPECT_EQ(query(path, "SELECT group_concat(coalesce(winner_place, 'none') || ':' ||"
                          " hex(coalesce(winner_name, '')), ' ') FROM rounds WHERE game_id = 1"),
              "1:6200621B 0:616E6E none:");
    EXPECT_EQ(query(path, "SELECT seed FROM games WHERE id = 1"), "4000000000");
    EXPECT_EQ(query(path, "SELECT group_concat(finished) FROM players WHERE game_id = 1"), "1,1,0");

    std::shared_ptr<const hall_of_fame> hall = store->hall();
    ASSERT_TRUE(hall);
    ASSERT_EQ(hall->best.size(), 4u);
    EXPECT_EQ(hall->best[0].score, 2500);
    ASSERT_EQ(hall->recent.size(), 2u);
    EXPECT_EQ(hall->recent[0].ended_ms, 2000000);

    // A new store on the same file starts with the hall and the best score of the old.
    store.reset();
    store = record_store::open(path, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->best_score(), 2500);
    EXPECT_EQ(store->hall()->recent.size(), 2u);
}

TEST(RecordsStore, NoneKeepsNothingAndCompletesAtOnce)
{
    std::string error;
    auto store = record_store::open("none", error);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->keeps_records());
    EXPECT_TRUE(store->submit(5, sample_game(1000)));
    std::vector<std::pair<uint64_t, bool>> done;
    store->take_completions(done);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], std::make_pair(uint64_t{5}, true));
    EXPECT_EQ(store->best_score(), 0);
    EXPECT_FALSE(store->hall());
}

TEST(RecordsStore, DefaultPathIsUnderXdgStateHomeElseUnderHome)
{
    std::string home = getenv("HOME") ? getenv("HOME") : "";
    std::string state = getenv("XDG_STATE_HOME") ? getenv("XDG_STATE_HOME") : "";
    setenv("HOME", "/home/ann", 1);
    setenv("XDG_STATE_HOME", "/var/state", 1);
    EXPECT_EQ(default_records_path(), "/var/state/mazecar/records.db");
    setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored
    EXPECT_EQ(default_records_path(), "/home/ann/.local/state/mazecar/records.db");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(default_records_path(), "/home/ann/.local/state/mazecar/records.db");
    setenv("HOME", home.c_str(), 1);
    if (!state.empty())
        setenv("XDG_STATE_HOME", state.c_str(), 1);
}

TEST(RecordsStore, OpeningFaultsNameThePathAndTheCause)
{
    temp_dir dir;
    std::string error;
    EXPECT_FALSE(record_store::open(dir.path, error));
    EXPECT_NE(error.find(dir.path + ": cannot open: it is a directory"), std::string::npos)
        << error;

    std::string file = dir.path + "/plain";
    std::ofstream(file) << "x";
    EXPECT_FALSE(record_store::open(file + "/records.db", error));
    EXPECT_NE(error.find(file + "/records.db: cannot open: " + file + " is not a directory"),
              std::string::npos)
        << error;

    std::string noise = dir.path + "/noise.db";
    {
        std::ofstream out(noise, std::ios::binary);
        unsigned state = 12345;
        for (int i = 0; i < 8192; i++) {
            state = state * 1103515245u + 12345u;
            out.put(static_cast<char>(state >> 16));
        }
    }
    EXPECT_FALSE(record_store::open(noise, error));
    EXPECT_NE(error.find(noise + ": not a database"), std::string::npos) << error;

    std::string newer = dir.path + "/newer.db";
    std::string sql = "CREATE TABLE future (x); PRAGMA user_version=" +
                      std::to_string(RECORDS_SCHEMA_VERSION + 5) + ";";
    run_sql(newer, sql.c_str());
    EXPECT_FALSE(record_store::open(newer, error));
    EXPECT_NE(error.find(newer + ": schema version " + std::to_string(RECORDS_SCHEMA_VERSION + 5) +
                         " is newer than this server's " + std::to_string(RECORDS_SCHEMA_VERSION)),
              std::string::npos)
        << error;
    EXPECT_EQ(query(newer, "PRAGMA journal_mode"), "delete");  // refused files stay untouched
}

// A full disk: the store on a small tmpfs of its own (needs a mount namespace, so root).
TEST(RecordsStore, FullDiskFailsOneGameWholeAndTheNextOneIsKept)
{
    temp_dir dir;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << strerror(errno)
                     << "): needs root and mount namespaces";
    std::string error, path = dir.path + "/records.db", filler = dir.path + "/filler";
    {
        captured_log captured;
        auto store = record_store::open(path, error, &captured.log);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(write_and_wait(*store, 1, sample_game(1000)));

        int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        static const char block[4096] = {};
        while (write(fd, block, sizeof block) > 0) {
        }
        close(fd);

        bool ok = true;
        ASSERT_TRUE(store->submit(2, sample_game(2000)));
        ASSERT_TRUE(wait_done(*store, 2, &ok));
        std::string log = captured.lines();
        EXPECT_FALSE(ok);
        EXPECT_EQ(store->failed(), 1u);
        EXPECT_EQ(log.rfind("mazecar-server: records: game 2 not kept in " + path + ": ", 0), 0u)
            << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

        std::filesystem::remove(filler);
        EXPECT_TRUE(write_and_wait(*store, 3, sample_game(3000)));
        EXPECT_EQ(store->written(), 2u);
    }
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(query(path, "SELECT group_concat(ended_ms) FROM games"), "1000,3000");
    EXPECT_EQ(query(path, "SELECT count(*) FROM players"), "6");
    EXPECT_EQ(query(path, "SELECT count(*) FROM rounds"), "6");
    umount2(dir.path.c_str(), MNT_DETACH);
}

TEST(RecordsStore, StalledDiskNeverBlocksTheCallerAndTheQueueIsBounded)
{
    temp_dir dir;
    std::string error, path = dir.path + "/records.db";
    stalled_disk::install();
    struct uninstall {
        ~uninstall()
        {
            stalled_disk::hold(false);
            stalled_disk::remove();
        }
    } uninstall_at_end;
    captured_log captured;
    auto store = record_store::open(path, error, &captured.log);
    ASSERT_TRUE(store) << error;
    stalled_disk::hold(true);
    ASSERT_TRUE(store->submit(0, sample_game(1000)));
    ASSERT_TRUE(stalled_disk::writer_held(WAIT)) << "the writer never reached the disk";

    auto slowest = clock_type::duration::zero();
    for (uint64_t t = 1; t <= RECORD_QUEUE_MAX; t++) {
        auto start = clock_type::now();
        ASSERT_TRUE(store->submit(t, sample_game(1000 + static_cast<int64_t>(t))));
        std::shared_ptr<const hall_of_fame> hall = store->hall();
        slowest = std::max(slowest, clock_type::now() - start);
    }
    EXPECT_FALSE(store->submit(9999, sample_game(1)));  // the queue is full
    std::string log = captured.lines();
    EXPECT_EQ(log.rfind("mazecar-server: records: game 9999 not kept", 0), 0u) << log;
    EXPECT_EQ(store->failed(), 1u);
    std::vector<std::pair<uint64_t, bool>> done;
    store->take_completions(done);
    EXPECT_TRUE(done.empty());
    EXPECT_LT(slowest, std::chrono::milliseconds(50)) << "submit or hall waited for the disk";

    // Once the disk moves again, closing the store writes every game still queued.
    stalled_disk::hold(false);
    store.reset();
    EXPECT_EQ(query(path, "SELECT count(*) FROM games"), std::to_string(RECORD_QUEUE_MAX + 1));
}

TEST(RecordsPrint, ColumnsLineUpAndControlBytesAreEscaped)
{
    temp_dir dir;
    std::string error, path = dir.path + "/records.db";
    {
        auto store = record_store::open(path, error);
        ASSERT_TRUE(store) << error;
        game_record g = sample_game(1765100000000, "x\ty");
        g.players.push_back({"\x1b[2J\x07long name\\", 2, 40, 1, 0, true});
        ASSERT_TRUE(write_and_wait(*store, 1, g));
    }
    std::string out_path = dir.path + "/out.txt";
    FILE *out = fopen(out_path.c_str(), "w");
    ASSERT_TRUE(out);
    EXPECT_EQ(print_records(path, 3, out), 0);
    fclose(out);
    std::ifstream in(out_path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (unsigned char c : text)
        ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "raw byte " << int(c) << "\n" << text;
    EXPECT_NE(text.find("\\x1b[2J\\x07long name\\\\"), std::string::npos) << text;
    EXPECT_NE(text.find("b\\x00b\\x1b"), std::string::npos) << text;
    EXPECT_NE(text.find("x\\x09y"), std::string::npos) << text;
    EXPECT_NE(text.find("2025-12-07 09:33"), std::string::npos) << text;

    // The best 3 of the four players, then the game; the room column starts at the same
    // place in each line of a table.
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 9u) << text;
    EXPECT_EQ(lines[5], "");
    size_t column = lines[1].find("room");
    for (int i = 2; i <= 4; i++)
        EXPECT_EQ(lines[i].find("x\\x09y"), column) << text;
    EXPECT_EQ(lines[8].find("x\\x09y"), lines[7].find("room")) << text;

    testing::internal::CaptureStderr();
    EXPECT_EQ(print_records(dir.path + "/missing.db", 3, stdout), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(dir.path + "/missing.db"), std::string::npos) << log;
}

std::string file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// --records on a store of the first version: listed as it is, the file left unchanged.
// On a file in a folder the user may not enter: the reason, not "no such file".
TEST(RecordsPrint, ReadsAnOlderStoreWithoutChangingItAndNamesWhyAFileIsUnreadable)
{
    temp_dir dir;
    std::string old = dir.path + "/old.db", out_path = dir.path + "/out.txt";
    run_sql(old, VERSION_1_FILE);
    std::string before = file_bytes(old);
    FILE *out = fopen(out_path.c_str(), "w");
    ASSERT_TRUE(out);
    EXPECT_EQ(print_records(old, 5, out), 0);
    fclose(out);
    EXPECT_NE(file_bytes(out_path).find("old (900)"), std::string::npos) << file_bytes(out_path);
    EXPECT_TRUE(file_bytes(old) == before) << "the store was changed";
    EXPECT_EQ(query(old, "PRAGMA user_version"), "1");

    // A folder shut to everyone; as root the reader becomes nobody, whom it shuts out.
    std::string shut = dir.path + "/shut";
    ASSERT_EQ(mkdir(shut.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    pid_t child = fork();
    if (child == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0 || dup2(fd, 2) < 0 || (geteuid() == 0 && setuid(65534) != 0))
            _exit(99);
        _exit(print_records(shut + "/records.db", 5, stdout));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    rmdir(shut.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(file_bytes(out_path).find("records.db: cannot open: Permission denied"),
              std::string::npos)
        << file_bytes(out_path);
}

}  // namespace
