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
    : per_address_(per_address), connect_rate_(connect_rate), window_ms_(window_ms)
{
}

admit_verdict address_limits::admit(const addr_key &key, long long now_ms)
{
    entry &e = table_[key];
    if (e.recent.empty())
        e.recent.assign(static_cast<size_t>(connect_rate_ > 0 ? connect_rate_ : 1), -window_ms_);
    // The slot about to be overwritten holds the oldest of the last connect_rate_
    // attempts: if it lies inside the window, this attempt is one too many.
    long long oldest = e.recent[e.next];
    e.recent[e.next] = now_ms;
    e.next = (e.next + 1) % e.recent.size();
    if (now_ms - oldest < window_ms_)
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
        bool recent = false;
        for (long long t : e.recent)
            recent = recent || now_ms - t < window_ms_;
        if (e.open == 0 && !recent)
            it = table_.erase(it);
        else
            ++it;
    }
}
