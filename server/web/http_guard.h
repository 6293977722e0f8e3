// The bounds the HTTP side keeps on its connections beyond what the HTTP library keeps
// itself: how many connections one address block and all clients hold at once, how long
// a connection may wait for a request's head, and how long an answer may take to leave.
// The library reports each connection's life here from its own threads; a thread of the
// guard's own cuts the connections that overstay.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "net/address_limits.h"
#include "web/status_http.h"

class connection_guard {
public:
    using clock_type = std::chrono::steady_clock;

    // One open connection as the guard sees it.
    struct conn {
        addr_key key;
        int fd;                        // the library's socket; used only to cut it
        clock_type::time_point since;  // began waiting for a request, or answering one
        bool answering = false;
        bool cut = false;
        int requests = 0;
        std::list<conn>::iterator self;
    };

    explicit connection_guard(const http_limits &limits);
    connection_guard(const connection_guard &) = delete;
    connection_guard &operator=(const connection_guard &) = delete;
    ~connection_guard();

    // A new connection from addr: true when it fits the limits per address block and
    // in all. Its place is held until started(), or for a second if the library drops
    // it before that.
    bool admit(const sockaddr_storage &addr);
    // The library started serving the connection admitted for addr on socket fd.
    conn *started(const sockaddr_storage &addr, int fd);
    // A request's head has arrived: false when the connection was cut meanwhile.
    bool request_began(conn *c);
    // The request under way is the connection's last: its answer closes it.
    bool last_request(const conn *c) const;
    // The answer has left; the connection waits for its next request.
    void request_done(conn *c);
    void closed(conn *c);
    // Ends the guard's thread; call once the library has closed every connection.
    void stop();

private:
    struct reservation {
        addr_key key;
        clock_type::time_point at;
    };
    void release(const addr_key &key);
    void drop_stale_reservations(clock_type::time_point now);
    void sweep();
    void cut_overdue(clock_type::time_point now);

    const http_limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<addr_key, int, addr_key_hash> held_;  // per block: admitted, not closed
    int total_held_ = 0;
    std::deque<reservation> unstarted_;  // admitted, not yet started by the library
    std::list<conn> open_;
    bool stopping_ = false;
    std::thread sweeper_;
};

// "s" as a sockaddr_storage, zero past the len bytes given (at most the storage's size).
sockaddr_storage copy_address(const sockaddr *s, size_t len);
