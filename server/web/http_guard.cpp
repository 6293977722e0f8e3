// Admission by address block and in all, and the time limits of each connection. A
// connection waits for a request (the library itself closes one silent for idle_ms),
// receives its head, is answered, and waits again. The library's own time-out counts
// only silence, so a client sending a byte a second would hold its connection for ever:
// here a head must be complete within idle_ms + request_ms of the wait's start and an
// answer must leave within write_ms, or the connection is cut. While more than half the
// connections are open, a wait longer than crowded_idle_ms is cut too, so idle
// connections make room for new ones.
#include "web/http_guard.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr auto SWEEP_EVERY = std::chrono::milliseconds(50);
constexpr auto RESERVATION_KEPT = std::chrono::seconds(1);

const char timed_out[] = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n"
                         "Connection: close\r\n\r\n";

}  // namespace

sockaddr_storage copy_address(const sockaddr *s, size_t len)
{
    sockaddr_storage out{};
    if (s)
        std::memcpy(&out, s, std::min(len, sizeof out));
    return out;
}

connection_guard::connection_guard(const http_limits &limits) : limits_(limits)
{
    sweeper_ = std::thread([this] { sweep(); });
}

connection_guard::~connection_guard()
{
    stop();
}

void connection_guard::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (sweeper_.joinable())
        sweeper_.join();
}

bool connection_guard::admit(const sockaddr_storage &addr)
{
    addr_key key = address_key(addr);
    auto now = clock_type::now();
    std::lock_guard<std::mutex> lock(mutex_);
    drop_stale_reservations(now);
    if (stopping_ || total_held_ >= limits_.connections)
        return false;
    int &held = held_[key];
    if (held >= limits_.per_address) {
        if (held == 0)
            held_.erase(key);
        return false;
    }
    held++;
    total_held_++;
    unstarted_.push_back(reservation{key, now});
    return true;
}

// The library may drop a connection between admitting and starting it (out of memory);
// such a place would otherwise stay held for good.
void connection_guard::drop_stale_reservations(clock_type::time_point now)
{
    while (!unstarted_.empty() && now - unstarted_.front().at > RESERVATION_KEPT) {
        release(unstarted_.front().key);
        unstarted_.pop_front();
    }
}

void connection_guard::release(const addr_key &key)
{
    auto it = held_.find(key);
    if (it != held_.end() && --it->second <= 0)
        held_.erase(it);
    total_held_--;
}

connection_guard::conn *connection_guard::started(const sockaddr_storage &addr, int fd)
{
    addr_key key = address_key(addr);
    auto now = clock_type::now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(unstarted_.begin(), unstarted_.end(),
                           [&key](const reservation &r) { return r.key == key; });
    if (it != unstarted_.end()) {
        unstarted_.erase(it);
    } else {  // its reservation went stale: hold the place again, closed() frees it
        held_[key]++;
        total_held_++;
    }
    open_.push_front(conn{key, fd, now, false, false, 0, {}});
    open_.front().self = open_.begin();
    wake_.notify_all();
    return &open_.front();
}

bool connection_guard::request_began(conn *c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (c->cut)
        return false;
    c->answering = true;
    c->since = clock_type::now();
    c->requests++;
    return true;
}

bool connection_guard::last_request(const conn *c) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return c->requests >= limits_.requests_per_connection;
}

void connection_guard::request_done(conn *c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    c->answering = false;
    c->since = clock_type::now();
}

// The library calls this before it closes the socket, so a cut under the same lock
// never touches a descriptor that was closed and given to something else.
void connection_guard::closed(conn *c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    release(c->key);
    open_.erase(c->self);
}

void connection_guard::sweep()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (open_.empty())
            wake_.wait(lock);
        else
            wake_.wait_for(lock, SWEEP_EVERY);
        cut_overdue(clock_type::now());
    }
}

// A cut connection's socket is shut down: the library sees its end and closes it as it
// would any other. A head cut off for its time is told why first.
void connection_guard::cut_overdue(clock_type::time_point now)
{
    using ms = std::chrono::milliseconds;
    bool crowded = 2 * open_.size() > static_cast<size_t>(limits_.connections);
    for (conn &c : open_) {
        ms allowed(c.answering ? limits_.write_ms
                   : crowded   ? limits_.crowded_idle_ms
                               : limits_.idle_ms + limits_.request_ms);
        if (c.cut || now - c.since <= allowed)
            continue;
        if (!c.answering && !crowded)
            (void)!send(c.fd, timed_out, sizeof timed_out - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        shutdown(c.fd, SHUT_RDWR);
        c.cut = true;
    }
}
