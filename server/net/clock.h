// The loop's clocks: the monotonic clock for steps, deadlines and limits, the wall
// clock only for what people read (records, the status page).
#pragma once

#include <ctime>

inline long long monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

inline long long monotonic_ms()
{
    return monotonic_us() / 1000;
}

inline long long wall_clock_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
