// The status page, its JSON and the Prometheus metrics, served over HTTP from the
// latest snapshot the event loop published. Read-only: GET and HEAD of three fixed
// paths, nothing from the file system. Runs on its own threads and only ever reads a
// snapshot through its shared_ptr, so no HTTP client can hold up a game step.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "web/status.h"

// Limits of the HTTP side. Each bounds what one client, or many, can cost.
struct http_limits {
    int workers = 8;            // threads that serve connections
    int queued = 16;            // accepted connections waiting for a worker; more are closed
    int per_address = 4;        // connections one client address holds at once
    int idle_ms = 2000;         // wait for the first byte of a request
    int crowded_idle_ms = 250;  // the same while other connections queue for a worker
    int request_ms = 3000;      // a request's head, first byte to last, must arrive in this
    int write_ms = 3000;        // a response must leave in this
    int head_bytes = 8192;      // request line and headers together
    int head_lines = 64;        // request line and headers
    int requests_per_connection = 32;
};

class status_http {
public:
    status_http();
    status_http(const status_http &) = delete;
    status_http &operator=(const status_http &) = delete;
    // Serves / (the page), /api/status (JSON), /metrics (Prometheus text) on addr:port
    // (IPv4 or IPv6 literal) from its own threads, reading board.latest(). False and a
    // one-line error when it cannot listen. Port 0 takes an ephemeral port (see port()).
    bool start(const std::string &addr, int port, const snapshot_board &board, std::string &error,
               const http_limits &limits = http_limits());
    void stop();
    int port() const { return port_; }
    ~status_http();

    struct server;  // the library's server with the bounds above; in status_http.cpp

private:
    std::unique_ptr<server> server_;
    std::thread thread_;
    int port_ = 0;
};

// Pure renderers, used by the server and testable without sockets.
std::string status_json(const status_snapshot &s);
std::string status_metrics(const status_snapshot &s);
const std::string &status_page_html();  // the one built-in page (HTML, CSS and script inline)

// "127.0.0.1:8055" or "[::1]:8055": a numeric address and a port 1..65535.
bool parse_http_address(const std::string &text, std::string &addr, int &port);
