// The status page, its JSON and the Prometheus metrics, served over HTTP from the
// latest snapshot the event loop published, and one game at a time moving (running, or
// kept and played again) as a stream of frames (web/stream_hub.h). Read-only: GET and
// HEAD of five fixed paths, nothing from the file system. Served by libmicrohttpd on threads of its
// own, which only ever read a snapshot through its shared_ptr, so no HTTP client can hold up a game
// step.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "web/status.h"

class records_sink;

// Limits of the HTTP side. Each bounds what one client, or many, can cost.
struct http_limits {
    int threads = 2;            // threads serving connections, each any number of them
    int connections = 24;       // connections open at once; more are closed at once
    int per_address = 4;        // connections one client address (IPv6: its /64) holds at once
    int idle_ms = 2000;         // silence before a request, or within one (whole seconds)
    int crowded_idle_ms = 250;  // the wait for a request while over half the connections are open
    int request_ms = 3000;      // a request's head must arrive within idle_ms + this
    int write_ms = 3000;        // an answer must leave in this
    int head_bytes = 8192;      // request line and headers together
    int head_lines = 64;        // request line and headers
    int requests_per_connection = 32;
};

// The JSON and the metrics of the latest snapshot, each rendered once a snapshot however
// many clients ask: the first request after a publish renders, the others share the
// text. Rendering holds this cache's lock, never the board's, which the loop takes to
// publish.
class rendered_status {
public:
    explicit rendered_status(const snapshot_board &board) : board_(board) {}
    // Null while nothing has been published.
    std::shared_ptr<const std::string> json() { return text(0); }
    std::shared_ptr<const std::string> metrics() { return text(1); }

private:
    std::shared_ptr<const std::string> text(int which);

    const snapshot_board &board_;
    std::mutex mutex_;
    std::shared_ptr<const status_snapshot> snap_;  // the snapshot the texts are of
    std::shared_ptr<const std::string> texts_[2];
};

class status_http {
public:
    status_http();
    status_http(const status_http &) = delete;
    status_http &operator=(const status_http &) = delete;
    // Serves / (the page), /api/status (JSON), /metrics (Prometheus text), /api/live and
    // /api/replay (streams) on addr:port (IPv4 or IPv6 literal) from its own threads,
    // reading board.latest(), board.live and the kept games of store (may be null).
    // False and a one-line error when it cannot listen. Port 0 takes an ephemeral port
    // (see port()).
    bool start(const std::string &addr, int port, snapshot_board &board, std::string &error,
               const http_limits &limits = http_limits(), records_sink *store = nullptr);
    void stop();
    int port() const { return port_; }
    ~status_http();

    struct site;  // the library's daemon, its guard and the rendered texts; in status_http.cpp

private:
    std::unique_ptr<site> site_;
    int port_ = 0;
};

// Pure renderers, used by the server and testable without sockets.
// Bytes from players made fit for JSON text: every byte outside ASCII becomes '?'.
std::string ascii_text(std::string text);
std::string status_json(const status_snapshot &s);
std::string status_metrics(const status_snapshot &s);
const std::string &status_page_html();  // the one built-in page (HTML, CSS and script inline)

// "127.0.0.1:8055" or "[::1]:8055": a numeric address and a port 1..65535.
bool parse_http_address(const std::string &text, std::string &addr, int &port);
