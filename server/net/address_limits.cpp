// Per-address accounting of connections.
#include "net/address_limits.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

addr_key address_key(const sockaddr_storage &sa)
{
    if (sa.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(sa);
        return addr_key{0, ntohl(v4.sin_addr.s_addr)};
    }
    if (sa.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(sa);
        const unsigned char *b = v6.sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            return addr_key{0, uint64_t{b[12]} << 24 | uint64_t{b[13]} << 16 |
                                   uint64_t{b[14]} << 8 | b[15]};
        uint64_t prefix = 0;
        for (int i = 0; i < 8; i++)
            prefix = prefix << 8 | b[i];
        return addr_key{prefix, 1};
    }
    return addr_key{0, 0};
}

void format_address(const sockaddr_storage &sa, char *buf, size_t size)
{
    const void *raw = nullptr;
    if (sa.ss_family == AF_INET)
        raw = &reinterpret_cast<const sockaddr_in &>(sa).sin_addr;
    else if (sa.ss_family == AF_INET6)
        raw = &reinterpret_cast<const sockaddr_in6 &>(sa).sin6_addr;
    char text[INET6_ADDRSTRLEN] = "local";
    if (raw && !inet_ntop(sa.ss_family, raw, text, sizeof text))
        strcpy(text, "?");
    if (size > 0) {
        strncpy(buf, text, size - 1);
        buf[size - 1] = '\0';
    }
}

address_limits::address_limits(int per_address, int connect_rate, long long window_ms)
    : per_address_(per_address), window_us_(window_ms * 1000),
      interval_us_(window_ms * 1000 / (connect_rate > 0 ? connect_rate : 1))
{
}

// The connect rate as a virtual schedule: every attempt, admitted or not, books the
// next interval; an attempt finding the schedule more than a window less one interval
// ahead is too fast. So a burst of connect_rate passes, then one each interval, and an
// address that keeps trying faster stays refused. The schedule runs at most two
// windows less an interval ahead: whoever kept trying is welcome again after a whole
// window without an attempt, and no sooner.
admit_verdict address_limits::admit(const addr_key &key, long long now_ms)
{
    entry &e = table_[key];
    long long now = now_ms * 1000;
    long long due = e.due_us > now ? e.due_us : now;
    bool too_fast = due - now > window_us_ - interval_us_;
    long long furthest = now + 2 * window_us_ - interval_us_;
    e.due_us = due + interval_us_ < furthest ? due + interval_us_ : furthest;
    if (too_fast)
        return ADMIT_TOO_FAST;
    if (e.open >= per_address_)
        return ADMIT_TOO_MANY;
    e.open++;
    return ADMIT_OK;
}

void address_limits::release(const addr_key &key)
{
    auto it = table_.find(key);
    if (it != table_.end() && it->second.open > 0)
        it->second.open--;
}

void address_limits::prune(long long now_ms)
{
    for (auto it = table_.begin(); it != table_.end();) {
        const entry &e = it->second;
        if (e.open == 0 && e.due_us <= now_ms * 1000)
            it = table_.erase(it);
        else
            ++it;
    }
}
