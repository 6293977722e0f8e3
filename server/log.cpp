// The log's buffer, its writer thread and the token bucket that limits event lines.
#include "log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "net/clock.h"

namespace {

constexpr char PREFIX[] = "mazecar-server: ";
constexpr long long WRITE_WAIT_NS = 50 * 1000000LL;  // the writer looks at the clock this often

long lines_in(const std::string &text, size_t from)
{
    return static_cast<long>(std::count(text.begin() + static_cast<long>(from), text.end(), '\n'));
}

}  // namespace

server_log::server_log(int fd) : fd_(fd)
{
    if (fd_ < 0)
        return;
    pending_.reserve(LOG_BUFFER_BYTES);
    writer_ = std::thread(&server_log::writer_loop, this);
}

server_log::~server_log()
{
    if (!writer_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_by_us_ = monotonic_us() + LOG_CLOSE_MS * 1000LL;
    }
    wake_.notify_one();
    writer_.join();
}

// Formats one line and puts it in the buffer, or counts it when there is no room.
void server_log::hand_over(const char *format, va_list args)
{
    if (fd_ < 0)
        return;
    char text[LOG_LINE_MAX];
    const size_t prefix = sizeof PREFIX - 1;
    memcpy(text, PREFIX, prefix);
    const size_t room = sizeof text - prefix - 1;  // the newline comes after
    int n = vsnprintf(text + prefix, room, format, args);
    size_t len = prefix + (n < 0 ? 0 : std::min(static_cast<size_t>(n), room - 1));
    text[len++] = '\n';
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() + len > LOG_BUFFER_BYTES) {
            left_out_++;
            return;
        }
        pending_.append(text, len);
    }
    wake_.notify_one();
}

void server_log::line(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    hand_over(format, args);
    va_end(args);
}

bool server_log::take_token()
{
    long long now = monotonic_us();
    if (last_refill_us_ >= 0)
        tokens_ += static_cast<double>(now - last_refill_us_) * rate_per_second_ / 1e6;
    last_refill_us_ = now;
    if (tokens_ > burst_size_)
        tokens_ = burst_size_;
    if (tokens_ < 1)
        return false;
    tokens_ -= 1;
    return true;
}

void server_log::event(const char *format, ...)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!take_token()) {
            left_out_++;
            return;
        }
    }
    va_list args;
    va_start(args, format);
    hand_over(format, args);
    va_end(args);
}

long server_log::take_left_out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    long n = left_out_;
    left_out_ = 0;
    return n;
}

void server_log::set_rate(int per_second, int burst)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rate_per_second_ = per_second;
    burst_size_ = burst;
    tokens_ = burst;
}

bool server_log::drain(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return drained_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return pending_.empty() && !writing_; });
}

// Writes the text in pieces a pipe takes whole once it has room, waiting for room a
// little at a time so that a closing log can give up on a reader that never reads.
// Returns the lines not written.
long server_log::write_out(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        long long stop_by = stop_by_us_.load();
        if (stop_by != 0 && monotonic_us() > stop_by)
            break;
        pollfd p{fd_, POLLOUT, 0};
        timespec wait{0, WRITE_WAIT_NS};
        int ready = ppoll(&p, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (p.revents & (POLLERR | POLLNVAL))
            break;
        size_t piece = std::min(text.size() - done, static_cast<size_t>(PIPE_BUF));
        ssize_t n = write(fd_, text.data() + done, piece);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return done < text.size() ? lines_in(text, done) : 0;
}

void server_log::writer_loop()
{
    std::string text;
    text.reserve(LOG_BUFFER_BYTES);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty())
            return;  // closing, and everything is written
        text.swap(pending_);
        writing_ = true;
        lock.unlock();
        long lost = write_out(text);
        text.clear();
        lock.lock();
        left_out_ += lost;
        writing_ = false;
        drained_.notify_all();
    }
}
