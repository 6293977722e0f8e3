// The PROXY protocol header a load balancer puts at the front of each connection it
// passes on, naming the client's own address: version 1 (one text line) and version 2
// (binary). Only balancers on the trusted list (--proxy-from) are believed; the list
// is a set of addresses and CIDR ranges, IPv4 and IPv6.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

constexpr size_t PROXY_V1_MAX = 107;   // longest version 1 line, CRLF included
constexpr size_t PROXY_V2_FIXED = 16;  // signature, command, family, length
// Addresses and extensions of a version 2 header: enough for two UNIX paths, far more
// than two IPv6 addresses and ports (36 bytes); a longer header is refused.
constexpr size_t PROXY_V2_BODY_MAX = 216;
constexpr size_t PROXY_HEADER_MAX = PROXY_V2_FIXED + PROXY_V2_BODY_MAX;
// A version 2 extension of our own (in the range kept for private use): the name a
// player typed, sent by another server of the fleet that hands the player over after
// reading it. At most PROXY_NAME_MAX bytes, none of them NUL.
constexpr unsigned char PROXY_TLV_NAME = 0xe0;
constexpr size_t PROXY_NAME_MAX = 64;

enum proxy_result { PROXY_NEED_MORE, PROXY_INVALID, PROXY_DONE };

struct proxy_header {
    size_t length = 0;  // bytes the header takes at the front of the stream
    // The balancer speaks for itself (version 2 LOCAL, version 1 UNKNOWN): a health
    // check, with no client behind it and no address.
    bool local = false;
    sockaddr_storage source{};  // the client's address and port (AF_INET or AF_INET6)
    std::string name;           // PROXY_TLV_NAME: a player handed over by a fleet server
};

// Reads a header from the first len bytes of a stream. PROXY_NEED_MORE while what has
// come is a valid beginning of a header shorter than PROXY_HEADER_MAX; PROXY_DONE fills
// out. Addresses other than TCP over IPv4 or IPv6 are invalid (the server needs one to
// count connections by).
proxy_result parse_proxy_header(const unsigned char *buf, size_t len, proxy_header *out);

// Writes a version 2 header (PROXY, TCP) naming source as the client and, when name is
// not empty, the PROXY_TLV_NAME extension. The destination is written in the source's
// family (an IPv4 one mapped into IPv6 if need be, "any" if it cannot be). Returns the
// header's length, 0 when the source is neither IPv4 nor IPv6, the name is too long or
// holds a NUL, or cap is too small.
size_t write_proxy_v2(const sockaddr_storage &source, const sockaddr_storage &dest,
                      const std::string &name, unsigned char *out, size_t cap);

// One trusted address or range, stored as 16 bytes (IPv4 as IPv4-mapped IPv6).
struct proxy_range {
    unsigned char addr[16];
    int prefix_bits;  // 0 .. 128
};

// Parses "ADDR[/BITS][,ADDR[/BITS]...]"; false (and why, in err) on any bad entry.
bool parse_proxy_ranges(const char *text, std::vector<proxy_range> &out, std::string &err);
// Whether a peer address lies in one of the ranges (an IPv4-mapped IPv6 peer matches
// its IPv4 address).
bool proxy_trusted(const std::vector<proxy_range> &ranges, const sockaddr_storage &peer);
