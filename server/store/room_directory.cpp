// The room directory's thread: the lease, the claims and the answers.
#include "store/room_directory.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include "log.h"
#include "net/clock.h"

namespace {

// Takes the room for this process ($2) unless a process with a live lease holds it;
// returns a row only when the room is this process's now.
const char *const CLAIM_SQL =
    "INSERT INTO rooms (room, owner) VALUES ($1, $2) ON CONFLICT (room) DO UPDATE"
    " SET owner = EXCLUDED.owner WHERE rooms.owner = EXCLUDED.owner OR NOT EXISTS ("
    "  SELECT 1 FROM fleet_members m WHERE m.address = rooms.owner AND m.lease_until > now())"
    " RETURNING owner";

}  // namespace

std::unique_ptr<room_directory> room_directory::open(const std::string &uri,
                                                     const std::string &self, std::string &error,
                                                     server_log *log)
{
    std::string why;
    if (!pg_uri_valid(uri, why)) {
        error = "room directory: " + why;
        return nullptr;
    }
    std::unique_ptr<room_directory> d(new room_directory(uri, self));
    d->log_ = log;
    d->wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->wake_fd_ < 0) {
        error = std::string("room directory: eventfd: ") + strerror(errno);
        return nullptr;
    }
    d->worker_ = std::thread(&room_directory::worker, d.get());
    return d;
}

room_directory::~room_directory()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_one();
    if (worker_.joinable())
        worker_.join();
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

bool room_directory::push(request r)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= FLEET_QUEUE_MAX)
        return false;
    queue_.push_back(std::move(r));
    cv_.notify_one();
    return true;
}

bool room_directory::ask(uint64_t ticket, const std::string &room)
{
    return push(request{ASK, ticket, room, ""});
}

void room_directory::claim(const std::string &room)
{
    push(request{CLAIM, 0, room, ""});
}

void room_directory::take_over(const std::string &room, const std::string &gone)
{
    push(request{TAKE_OVER, 0, room, gone});
}

void room_directory::release(const std::string &room)
{
    push(request{RELEASE, 0, room, ""});
}

void room_directory::take_answers(std::vector<room_answer> &out)
{
    uint64_t count;
    while (read(wake_fd_, &count, sizeof count) > 0) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    out.insert(out.end(), answers_.begin(), answers_.end());
    answers_.clear();
}

void room_directory::note(const char *what)
{
    std::string text = std::string(what) + (link_.error().empty() ? "" : ": " + link_.error());
    if (log_)
        log_->line("room directory: %s", text.c_str());
    else
        fprintf(stderr, "mazecar-server: room directory: %s\n", text.c_str());
}

// ---- The thread ----

void room_directory::worker()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        long long now = monotonic_ms();
        if (now >= renew_due_ms_) {
            lock.unlock();
            renew();
            lock.lock();
            continue;
        }
        if (queue_.empty()) {
            if (stopping_)
                break;
            cv_.wait_for(lock, std::chrono::milliseconds(renew_due_ms_ - now));
            continue;
        }
        request r = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        serve(r);
        lock.lock();
    }
    lock.unlock();
    leave();
}

// Connects when need be and renews this process's lease. At its first connection the
// process drops the rooms a former process at its address left behind; at every new
// connection it claims the rooms it holds.
bool room_directory::renew()
{
    long long now = monotonic_ms();
    renew_due_ms_ = now + FLEET_RENEW_MS;
    retry_due_ms_ = now + PG_RETRY_MS;
    bool connecting = !link_.connected();
    std::string lease = std::to_string(FLEET_LEASE_MS);
    // Who holds a room is soft state, renewed all the time: its writes need not wait for
    // the disk, which keeps a crowd's check-ins from queueing behind the commits.
    bool ok = link_.connect() && (!connecting || link_.run("SET synchronous_commit = off")) &&
              (cleared_ || (cleared_ = link_.run("DELETE FROM rooms WHERE owner = $1",
                                                 pg_params().text(self_)))) &&
              link_.run("INSERT INTO fleet_members (address, lease_until) VALUES ($1, now() +"
                        " $2 * interval '1 millisecond') ON CONFLICT (address) DO UPDATE"
                        " SET lease_until = EXCLUDED.lease_until",
                        pg_params().text(self_).text(lease));
    if (ok && connecting)
        claim_held();
    if (ok && !was_up_) {
        link_.clear_error();
        note("reachable again");
    }
    if (!ok && was_up_)
        note("cannot be reached, rooms are played where they are asked for");
    was_up_ = ok;
    return ok;
}

// After the database was away: the rooms opened here meanwhile, or held before, are
// this process's again where no live process has taken them.
void room_directory::claim_held()
{
    for (const std::string &room : held_)
        look_up(request{CLAIM, 0, room, ""});
}

room_answer room_directory::look_up(const request &r)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        pg_rows mine, holder;
        if (!link_.run(CLAIM_SQL, pg_params().bytes(r.room).text(self_), &mine))
            break;
        if (mine.count() == 1)
            return room_answer{r.ticket, ROOM_HERE, ""};
        if (!link_.run("SELECT owner FROM rooms WHERE room = $1", pg_params().bytes(r.room),
                       &holder))
            break;
        if (holder.count() == 1) {
            std::string owner = holder.bytes(0, 0);
            if (owner.empty() || owner.size() > FLEET_ADDRESS_MAX)
                break;
            return room_answer{r.ticket, ROOM_THERE, owner};
        }
        // Released between the two statements: claim it again.
    }
    return room_answer{r.ticket, ROOM_UNKNOWN, ""};
}

void room_directory::serve(const request &r)
{
    room_answer a{r.ticket, ROOM_UNKNOWN, ""};
    if (r.what == RELEASE)
        held_.erase(r.room);
    else if (r.what != ASK)  // opened here: kept, to be claimed if the database is away
        held_.insert(r.room);
    if (!link_.connected() && monotonic_ms() >= retry_due_ms_)
        renew();
    if (link_.connected()) {
        if (r.what == RELEASE)
            link_.run("DELETE FROM rooms WHERE room = $1 AND owner = $2",
                      pg_params().bytes(r.room).text(self_));
        else if (r.what == TAKE_OVER)
            link_.run("UPDATE rooms SET owner = $2 WHERE room = $1 AND owner = $3",
                      pg_params().bytes(r.room).text(self_).text(r.gone));
        else
            a = look_up(r);
    }
    if (a.where == ROOM_HERE)
        held_.insert(r.room);
    if (r.what != ASK)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.push_back(std::move(a));
    }
    uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        // The counter is full only if the loop stopped reading: it reads all at once.
    }
}

// A process that stops gives its rooms up at once rather than when its lease ends.
void room_directory::leave()
{
    if (!link_.connected())
        return;
    link_.run("DELETE FROM rooms WHERE owner = $1", pg_params().text(self_));
    link_.run("DELETE FROM fleet_members WHERE address = $1", pg_params().text(self_));
}
