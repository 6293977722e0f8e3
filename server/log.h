// The server's log: one line per call on standard output, flushed at once. Lines
// about single events (a connection dropped, a player joined) pass a rate limit, so
// a crowd of connections cannot flood the log; what the limit leaves out is counted
// and reported by the periodic stats line.
#pragma once

// Always written: start, stop, the stats line, failures of the server itself.
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Written while the rate allows.
void log_event(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Event lines the limit left out since the last call.
long log_take_suppressed();
// Event lines allowed per second, and in one burst.
void log_set_rate(int per_second, int burst);
