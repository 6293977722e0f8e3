// Log lines and the token bucket that limits event lines.
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

int rate_per_second = 20;
int burst_size = 100;
double tokens = 100;
long long last_refill_us = -1;
long suppressed;

long long monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

bool take_token()
{
    long long now = monotonic_us();
    if (last_refill_us >= 0)
        tokens += static_cast<double>(now - last_refill_us) * rate_per_second / 1e6;
    last_refill_us = now;
    if (tokens > burst_size)
        tokens = burst_size;
    if (tokens < 1)
        return false;
    tokens -= 1;
    return true;
}

void write_line(const char *format, va_list args)
{
    fputs("mazecar-server: ", stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    fflush(stdout);
}

}  // namespace

void log_line(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}

void log_event(const char *format, ...)
{
    if (!take_token()) {
        suppressed++;
        return;
    }
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}

long log_take_suppressed()
{
    long n = suppressed;
    suppressed = 0;
    return n;
}

void log_set_rate(int per_second, int burst)
{
    rate_per_second = per_second;
    burst_size = burst;
    tokens = burst;
}
