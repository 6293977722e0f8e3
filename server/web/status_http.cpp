// The HTTP side: the library parses requests and writes responses, but the connections
// are ours. A fixed set of workers serves them; past the workers and a short queue a
// new connection is closed at once, as is one past the limit of its address. Each
// connection reads through a stream that bounds the wait for a request, the time and
// the bytes and lines of its head, so an idle, slow or oversized client only ever costs
// one worker for a few seconds.
#include "web/status_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <httplib.h>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int LISTEN_BACKLOG = 128;  // the library listens with 5; a burst needs more
constexpr int READ_CHUNK = 4096;     // bytes taken from the socket at a time
constexpr int CROWD_CHECK_MS = 50;   // an idle connection looks at the queue this often

int ms_left(clock_type::time_point deadline)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool wait_socket(int sock, short events, clock_type::time_point deadline)
{
    for (;;) {
        pollfd p{sock, events, 0};
        int n = poll(&p, 1, ms_left(deadline));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

std::string peer_address(int sock, int *port)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    char text[INET6_ADDRSTRLEN] = "";
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return "";
    if (a.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        if (port)
            *port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        if (port)
            *port = ntohs(v6->sin6_port);
    }
    return text;
}

// A fixed set of workers and a short queue. The library hands each accepted connection
// to enqueue(), which looks at it at once on the accepting thread (the server's
// process_and_close_socket): refused there, or queued for a worker with push().
class gate_queue : public httplib::TaskQueue {
public:
    gate_queue(int workers, int queued) : queued_(static_cast<size_t>(queued))
    {
        for (int i = 0; i < workers; i++)
            threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> fn) override { fn(); }

    // False when every worker is busy and the queue full.
    bool push(std::function<void()> job)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_ || jobs_.size() >= queued_)
            return false;
        jobs_.push_back(std::move(job));
        waiting = jobs_.size();
        cond_.notify_one();
        return true;
    }

    std::atomic<size_t> waiting{0};  // connections queued for a worker

    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        cond_.notify_all();
        for (std::thread &t : threads_)
            t.join();
        threads_.clear();
    }

private:
    void work()
    {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cond_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                waiting = jobs_.size();
            }
            fn();
        }
    }

    size_t queued_;
    std::vector<std::thread> threads_;
    std::deque<std::function<void()>> jobs_;
    bool shutdown_ = false;
    std::mutex mutex_;
    std::condition_variable cond_;
};

// One connection as the library reads and writes it, with every wait and size bounded.
class bounded_stream : public httplib::Stream {
public:
    bounded_stream(int sock, const http_limits &limits) : sock_(sock), limits_(limits) {}

    // Waits for the first byte of the next request: up to the idle limit, or only the
    // crowded one while other connections wait for a worker.
    bool wait_request(const std::atomic<size_t> &waiting)
    {
        if (begin_ < end_)
            return true;
        auto start = clock_type::now();
        auto idle_end = start + std::chrono::milliseconds(limits_.idle_ms);
        auto crowded_end = start + std::chrono::milliseconds(limits_.crowded_idle_ms);
        for (;;) {
            auto now = clock_type::now();
            if (now >= idle_end || (waiting > 0 && now >= crowded_end))
                return false;
            auto slice = std::min(idle_end, now + std::chrono::milliseconds(CROWD_CHECK_MS));
            if (wait_socket(sock_, POLLIN, slice))
                return true;
        }
    }

    void begin_request()
    {
        auto now = clock_type::now();
        read_deadline_ = now + std::chrono::milliseconds(limits_.request_ms);
        write_deadline_ = now + std::chrono::milliseconds(limits_.request_ms + limits_.write_ms);
        head_bytes_ = 0;
        head_lines_ = 0;
    }

    bool failed() const { return failed_; }
    // Why the request was cut off, as the status line to send; null when it was not.
    const char *cut_status() const { return cut_; }

    bool is_readable() const override { return begin_ < end_; }
    bool is_writable() const override { return !failed_; }

    ssize_t read(char *ptr, size_t size) override
    {
        if (failed_ || size == 0)
            return failed_ ? -1 : 0;
        if (begin_ == end_ && !fill())
            return -1;
        size_t room = static_cast<size_t>(limits_.head_bytes - head_bytes_);
        size_t n = std::min({size, end_ - begin_, room});
        if (n == 0)
            return fail(too_big);
        std::memcpy(ptr, buf_ + begin_, n);
        begin_ += n;
        head_bytes_ += static_cast<int>(n);
        for (size_t i = 0; i < n; i++)
            if (ptr[i] == '\n' && ++head_lines_ > limits_.head_lines)
                return fail(too_big);
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        size_t done = 0;
        while (done < size) {
            if (failed_ || !wait_socket(sock_, POLLOUT, write_deadline_))
                return fail();
            ssize_t n = send(sock_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                return fail();
            done += static_cast<size_t>(n);
        }
        return static_cast<ssize_t>(done);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = peer_address(sock_, &port);
    }

    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        ip.clear();
        port = 0;
    }

    socket_t socket() const override { return sock_; }

private:
    static constexpr const char *too_big = "431 Request Header Fields Too Large";
    static constexpr const char *too_slow = "408 Request Timeout";

    ssize_t fail(const char *why = nullptr)
    {
        failed_ = true;
        if (!cut_)
            cut_ = why;
        return -1;
    }

    bool fill()
    {
        for (;;) {
            if (!wait_socket(sock_, POLLIN, read_deadline_)) {
                if (head_bytes_ > 0)
                    fail(too_slow);
                return false;
            }
            ssize_t n = recv(sock_, buf_, sizeof buf_, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                return false;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
            return true;
        }
    }

    int sock_;
    const http_limits &limits_;
    char buf_[READ_CHUNK] = {};
    size_t begin_ = 0, end_ = 0;
    clock_type::time_point read_deadline_, write_deadline_;
    int head_bytes_ = 0, head_lines_ = 0;
    bool failed_ = false;
    const char *cut_ = nullptr;
};

const char refusal[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                       "Connection: close\r\n\r\n";

void close_socket(int sock)
{
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

void send_text(httplib::Response &res, const std::string &body, const char *type)
{
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(body, type);
}

}  // namespace

struct status_http::server : public httplib::Server {
    explicit server(const http_limits &limits) : limits_(limits)
    {
        new_task_queue = [this] {
            gate_ = new gate_queue(limits_.workers, limits_.queued);
            return gate_;
        };
        // Only SO_REUSEADDR: the library's default adds SO_REUSEPORT, which would let
        // a second server share the port instead of failing to listen.
        set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        set_payload_max_length(0);
    }

    // The library closes its socket only in stop() while it listens; a server that
    // bound but never listened closes it here.
    ~server() override
    {
        socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
        if (sock != INVALID_SOCKET)
            close(sock);
    }

    // The library waits on its listening socket with select(), which cannot take a
    // descriptor at or past FD_SETSIZE: start the HTTP side before many connections.
    // "" when listening with the longer backlog, else why not.
    std::string listen_more()
    {
        if (svr_sock_ >= FD_SETSIZE)
            return "its descriptor " + std::to_string(svr_sock_) +
                   " is past what select() takes (start the HTTP side earlier)";
        if (::listen(svr_sock_, LISTEN_BACKLOG) != 0)
            return std::strerror(errno);
        return "";
    }

    // Ends every connection now, so stop() does not wait out their time limits.
    void cut_connections()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (int sock : live_)
            shutdown(sock, SHUT_RDWR);
    }

private:
    bool admit(int sock, std::string &address)
    {
        address = peer_address(sock, nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return false;
        int &held = per_address_[address];
        if (held >= limits_.per_address) {
            if (held == 0)
                per_address_.erase(address);
            return false;
        }
        held++;
        live_.insert(sock);
        return true;
    }

    void release(int sock, const std::string &address)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.erase(sock);
        auto it = per_address_.find(address);
        if (it != per_address_.end() && --it->second <= 0)
            per_address_.erase(it);
    }

    // Runs on the accepting thread, so it only looks at the connection and never waits.
    bool process_and_close_socket(socket_t sock) override
    {
        std::string address;
        if (!admit(sock, address)) {
            refuse(sock);
            return false;
        }
        if (!gate_->push([this, sock, address] { serve(sock, address); })) {
            release(sock, address);
            refuse(sock);
            return false;
        }
        return true;
    }

    // Best effort, never waiting: the client learns why, if its buffer has room.
    static void refuse(int sock)
    {
        (void)!send(sock, refusal, sizeof refusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        close_socket(sock);
    }

    void serve(int sock, const std::string &address)
    {
        // The library writes the head and the body apart; without this the body waits
        // for the client's delayed acknowledgement of the head on a kept-alive connection.
        int one = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        bounded_stream strm(sock, limits_);
        for (int n = 0; n < limits_.requests_per_connection; n++) {
            if (!strm.wait_request(gate_->waiting))
                break;
            strm.begin_request();
            bool closed = false;
            bool last = n + 1 == limits_.requests_per_connection;
            if (!process_request(strm, last, closed, [](httplib::Request &) {}) || closed ||
                strm.failed())
                break;
        }
        if (strm.cut_status()) {
            std::string answer = std::string("HTTP/1.1 ") + strm.cut_status() +
                                 "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            (void)!send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        release(sock, address);
        close_socket(sock);
    }

    http_limits limits_;
    gate_queue *gate_ = nullptr;  // made and deleted by the library's listening loop
    std::mutex mutex_;
    std::map<std::string, int> per_address_;
    std::set<int> live_;
    bool stopping_ = false;
};

bool status_http::start(const std::string &addr, int port, const snapshot_board &board,
                        std::string &error, const http_limits &limits)
{
    stop();
    auto srv = std::make_unique<server>(limits);
    const snapshot_board *b = &board;

    // Anything but GET and HEAD is refused before routing, so no handler sees it.
    srv->set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        if (req.method == "GET" || req.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        send_text(res, "only GET and HEAD\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    srv->set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            send_text(res, std::to_string(res.status) + "\n", "text/plain");
    });
    srv->Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src "
                       "'unsafe-inline'; connect-src 'self'; base-uri 'none'; form-action "
                       "'none'; frame-ancestors 'none'");
        send_text(res, status_page_html(), "text/html; charset=utf-8");
    });
    auto with_snapshot = [b](httplib::Response &res, std::string (*render)(const status_snapshot &),
                             const char *type) {
        std::shared_ptr<const status_snapshot> snap = b->latest();
        if (!snap) {
            res.status = 503;
            send_text(res, "no snapshot yet\n", "text/plain");
            return;
        }
        send_text(res, render(*snap), type);
    };
    srv->Get("/api/status", [with_snapshot](const httplib::Request &, httplib::Response &res) {
        with_snapshot(res, status_json, "application/json");
    });
    srv->Get("/metrics", [with_snapshot](const httplib::Request &, httplib::Response &res) {
        with_snapshot(res, status_metrics, "text/plain; version=0.0.4; charset=utf-8");
    });

    errno = 0;
    int bound =
        port == 0 ? srv->bind_to_any_port(addr) : (srv->bind_to_port(addr, port) ? port : -1);
    std::string why = bound > 0 ? srv->listen_more() : std::strerror(errno);
    if (!why.empty()) {
        error = "cannot listen for HTTP on " + addr + " port " + std::to_string(port) + ": " + why;
        return false;
    }
    port_ = bound;
    server *raw = srv.get();
    thread_ = std::thread([raw] { raw->listen_after_bind(); });
    server_ = std::move(srv);
    // The library's stop() only acts once its loop runs; wait for that, so a stop()
    // right after start() cannot be lost.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!raw->is_running() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void status_http::stop()
{
    if (!server_)
        return;
    server_->stop();
    server_->cut_connections();
    if (thread_.joinable())
        thread_.join();
    server_.reset();
    port_ = 0;
}

status_http::status_http() = default;

status_http::~status_http()
{
    stop();
}

bool parse_http_address(const std::string &text, std::string &addr, int &port)
{
    std::string host, digits;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        digits = text.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1)
            return false;
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
        in_addr a4{};
        if (inet_pton(AF_INET, host.c_str(), &a4) != 1)
            return false;
    }
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int value = std::stoi(digits);
    if (value < 1 || value > 65535)
        return false;
    addr = host;
    port = value;
    return true;
}
