// The fleet's room directory, kept in the shared PostgreSQL database: which process
// holds the game of each room. A room belongs to the process that opened its game, as
// long as that process's lease is alive; a thread of its own renews the lease every
// FLEET_RENEW_MS, so the rooms of a process that died are free again at most
// FLEET_LEASE_MS later. The loop asks and hears the answers through a queue and a wake-up
// descriptor, never waiting for the database.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/pg_link.h"

class server_log;

constexpr int FLEET_LEASE_MS = 10000;     // a process's rooms outlive it by at most this
constexpr int FLEET_RENEW_MS = 3000;      // the lease is renewed this often
constexpr size_t FLEET_QUEUE_MAX = 4096;  // requests waiting for the database; more are refused
constexpr size_t FLEET_ADDRESS_MAX = 64;  // longest ADDR:PORT of a process

enum room_where {
    ROOM_HERE,     // this process holds the room (it has just claimed it)
    ROOM_THERE,    // another live process holds it: owner says where
    ROOM_UNKNOWN,  // the directory cannot be read: the room is served here
};

struct room_answer {
    uint64_t ticket;
    room_where where;
    std::string owner;  // ADDR:PORT of the holder, for ROOM_THERE
};

class room_directory {
public:
    // self: the ADDR:PORT at which the other processes reach this one (--fleet). Null,
    // with error, when the URI cannot be read or the wake-up descriptor cannot be made;
    // a database that cannot be reached answers ROOM_UNKNOWN until it can.
    // Changes between reachable and not are told to log (null: standard error).
    static std::unique_ptr<room_directory> open(const std::string &uri, const std::string &self,
                                                std::string &error, server_log *log = nullptr);
    ~room_directory();  // gives up this process's rooms and lease, then stops
    room_directory(const room_directory &) = delete;
    room_directory &operator=(const room_directory &) = delete;

    const std::string &self() const { return self_; }
    // Readable when answers wait (the loop watches it).
    int wake_fd() const { return wake_fd_; }
    // Who holds the room? Claims it for this process when no live process does. False
    // when FLEET_QUEUE_MAX requests wait: no answer follows.
    bool ask(uint64_t ticket, const std::string &room);
    // This process opened the room's game without asking (a player sent here by another
    // process): the room is recorded as its own unless a live process holds it.
    void claim(const std::string &room);
    // The room's holder refused a connection (its port is closed: it is gone, whatever
    // its lease says): the room becomes this process's, if that holder still has it.
    void take_over(const std::string &room, const std::string &gone);
    // This process closed the room's game.
    void release(const std::string &room);
    void take_answers(std::vector<room_answer> &out);

private:
    enum kind { ASK, CLAIM, TAKE_OVER, RELEASE };
    struct request {
        kind what;
        uint64_t ticket;
        std::string room, gone;
    };

    room_directory(const std::string &uri, const std::string &self) : link_(uri), self_(self) {}
    bool push(request r);
    void worker();
    void serve(const request &r);
    room_answer look_up(const request &r);
    bool renew();
    void claim_held();
    void leave();
    void note(const char *what);

    pg_link link_;
    server_log *log_ = nullptr;
    std::string self_;
    int wake_fd_ = -1;
    long long renew_due_ms_ = 0;
    long long retry_due_ms_ = 0;  // a lost database is tried again no sooner
    bool was_up_ = true;
    bool cleared_ = false;  // the rooms of a former process at this address are dropped
    // The rooms this process holds, claimed again after the database was away.
    std::set<std::string> held_;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<request> queue_;
    std::vector<room_answer> answers_;
    bool stopping_ = false;
    std::thread worker_;
};
