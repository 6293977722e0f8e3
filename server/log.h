// The server's log: lines on standard output, written by a thread of the log's own, so
// a stalled reader (a full pipe, a stuck journal) never holds up the thread that logs.
// Lines wait in a bounded buffer; a line that finds it full is left out. Lines about
// single events (a connection dropped, a player joined) also pass a rate limit, so a
// crowd of connections cannot flood the log. What is left out either way is counted
// and reported by the periodic stats line. Any thread may log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

constexpr size_t LOG_BUFFER_BYTES = 64 * 1024;  // lines waiting for the writer
constexpr int LOG_LINE_MAX = 2048;              // longer lines are cut
constexpr int LOG_CLOSE_MS = 1000;              // a closing log waits this long for its reader

class server_log {
public:
    // Lines go to fd (not closed here); a negative fd keeps nothing and starts no thread.
    explicit server_log(int fd = 1);
    // Writes what is waiting for at most LOG_CLOSE_MS, then stops the writer.
    ~server_log();
    server_log(const server_log &) = delete;
    server_log &operator=(const server_log &) = delete;

    // Always written while the buffer has room: start, stop, the stats line, failures.
    void line(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Written while the rate allows.
    void event(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Lines left out since the last call (rate limit, full buffer, a failed write).
    long take_left_out();
    // Event lines allowed per second, and in one burst.
    void set_rate(int per_second, int burst);
    // Waits until every line handed over so far is written; false after timeout_ms.
    bool drain(int timeout_ms);

private:
    void hand_over(const char *format, va_list args);
    bool take_token();
    void writer_loop();
    long write_out(const std::string &text);

    int fd_;
    std::mutex mutex_;
    std::condition_variable wake_, drained_;
    std::string pending_;  // whole lines, at most LOG_BUFFER_BYTES
    bool writing_ = false;
    bool stopping_ = false;
    std::atomic<long long> stop_by_us_{0};  // closing: the writer gives up on its reader then
    long left_out_ = 0;
    int rate_per_second_ = 20;
    int burst_size_ = 100;
    double tokens_ = 100;
    long long last_refill_us_ = -1;
    std::thread writer_;
};
