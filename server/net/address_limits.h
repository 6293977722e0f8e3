// Limits per source address: how many connections one address may hold open and how
// many new ones it may open in a window of time. An IPv6 address counts by its /64,
// the block one home or one host is usually given; an IPv4-mapped IPv6 address counts
// as the IPv4 address it maps. Each address costs the same few bytes whatever the rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unordered_map>

struct addr_key {
    uint64_t hi, lo;  // IPv4: 0 and the address; IPv6: the /64 prefix and 1; other: 0, 0
    bool operator==(const addr_key &o) const { return hi == o.hi && lo == o.lo; }
};

struct addr_key_hash {
    size_t operator()(const addr_key &k) const
    {
        return static_cast<size_t>(k.hi * 0x9e3779b97f4a7c15ULL ^ k.lo);
    }
};

addr_key address_key(const sockaddr_storage &sa);
// "203.0.113.5", "2001:db8::1" or "local"; at most size - 1 characters.
void format_address(const sockaddr_storage &sa, char *buf, size_t size);

enum admit_verdict { ADMIT_OK, ADMIT_TOO_MANY, ADMIT_TOO_FAST };

class address_limits {
public:
    // per_address open connections; connect_rate new connections per window_ms: that
    // many at once, then one each window_ms / connect_rate.
    address_limits(int per_address, int connect_rate, long long window_ms);
    // Counts the attempt; ADMIT_OK also counts the connection as open.
    admit_verdict admit(const addr_key &key, long long now_ms);
    // The connection admitted for this address has closed.
    void release(const addr_key &key);
    // Forgets addresses with nothing open and no attempt in the window.
    void prune(long long now_ms);
    size_t tracked() const { return table_.size(); }

private:
    struct entry {
        int open = 0;
        // When the address's attempts would have been due, each spaced interval_us_
        // apart; an attempt that comes a whole window before that is one too many.
        long long due_us = 0;
    };
    int per_address_;
    long long window_us_;
    long long interval_us_;  // the window shared among connect_rate attempts
    std::unordered_map<addr_key, entry, addr_key_hash> table_;
};
