// The spool: games this process could not hand to the shared database wait in its local
// SQLite records file, each marked by its fleet-wide id in a table of their own, until
// they have moved there. A game and its mark are written in one transaction, and a
// moved game is deleted with its mark in another, so a game is never both lost and
// unmarked; one moved twice is taken once, by its id.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "store/records.h"

struct sqlite3;

// Creates the table of waiting games where it is missing.
bool spool_prepare(sqlite3 *db, std::string &why);
// Marks a game just written, inside its transaction, as waiting; false without an id.
bool spool_mark(sqlite3 *db, int64_t game_id, const std::string &uid);

// The mover's side, on a connection of its own to the spool file.
class spool_reader {
public:
    // Null, with error naming the path and the cause, when the file cannot be opened.
    static std::unique_ptr<spool_reader> open(const std::string &path, std::string &error);
    ~spool_reader();
    spool_reader(const spool_reader &) = delete;
    spool_reader &operator=(const spool_reader &) = delete;

    // Games waiting; -1 when the file cannot be read.
    int64_t count();
    // The oldest waiting game whole (uid and replay included) and its local id; false when none
    // waits or it cannot be read (error() says which).
    bool oldest(game_record &rec, int64_t &id);
    // Deletes a game that has moved, with its players, rounds and mark.
    bool forget(int64_t id);
    const std::string &error() const { return error_; }

private:
    spool_reader() = default;
    bool failed(const char *what);
    std::string path_, error_;
    sqlite3 *db_ = nullptr;
};
