// PROXY protocol headers and the list of trusted balancers. Every read is bounded by
// the bytes at hand and by the header's own limits; nothing is believed past them.
#include "net/proxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace {

const unsigned char V2_SIGNATURE[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d,
                                        0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
const char V1_PREFIX[] = "PROXY ";
constexpr size_t V1_PREFIX_LEN = sizeof V1_PREFIX - 1;

enum { V2_LOCAL = 0x20, V2_PROXY = 0x21 };      // version 2 in the high nibble
enum { V2_TCP4 = 0x11, V2_TCP6 = 0x21 };        // family (high) and STREAM (low)
constexpr size_t V2_TCP4_BODY = 4 + 4 + 2 + 2;  // source, destination, their ports
constexpr size_t V2_TCP6_BODY = 16 + 16 + 2 + 2;

size_t min_size(size_t a, size_t b)
{
    return a < b ? a : b;
}

void set_v4(sockaddr_storage &sa, const void *addr4, uint16_t port_be)
{
    sa = sockaddr_storage{};
    auto &v4 = reinterpret_cast<sockaddr_in &>(sa);
    v4.sin_family = AF_INET;
    memcpy(&v4.sin_addr, addr4, 4);
    v4.sin_port = port_be;
}

void set_v6(sockaddr_storage &sa, const void *addr16, uint16_t port_be)
{
    sa = sockaddr_storage{};
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(sa);
    v6.sin6_family = AF_INET6;
    memcpy(&v6.sin6_addr, addr16, 16);
    v6.sin6_port = port_be;
}

// The extensions after the addresses: type, 16-bit length, value, each within the
// body. Only the name is read, and must be whole and valid; others are skipped, and
// bytes that do not make a whole extension are ignored, as they always were.
proxy_result read_tlvs(const unsigned char *p, size_t len, proxy_header *out)
{
    size_t at = 0;
    while (len - at >= 3) {
        size_t n = size_t{p[at + 1]} << 8 | p[at + 2];
        if (n > len - at - 3)
            return p[at] == PROXY_TLV_NAME ? PROXY_INVALID : PROXY_DONE;
        const unsigned char *value = p + at + 3;
        if (p[at] == PROXY_TLV_NAME) {
            if (n < 1 || n > PROXY_NAME_MAX || memchr(value, 0, n))
                return PROXY_INVALID;
            out->name.assign(reinterpret_cast<const char *>(value), n);
        }
        at += 3 + n;
    }
    return PROXY_DONE;
}

proxy_result parse_v2(const unsigned char *buf, size_t len, proxy_header *out)
{
    if (len < PROXY_V2_FIXED)
        return PROXY_NEED_MORE;
    unsigned cmd = buf[12], family = buf[13];
    size_t body = size_t{buf[14]} << 8 | buf[15];
    if ((cmd != V2_LOCAL && cmd != V2_PROXY) || body > PROXY_V2_BODY_MAX)
        return PROXY_INVALID;
    if (len < PROXY_V2_FIXED + body)
        return PROXY_NEED_MORE;
    const unsigned char *p = buf + PROXY_V2_FIXED;
    *out = proxy_header{};
    out->length = PROXY_V2_FIXED + body;
    if (cmd == V2_LOCAL) {  // whatever addresses follow are the balancer's own: ignored
        out->local = true;
        return PROXY_DONE;
    }
    uint16_t port_be;
    if (family == V2_TCP4 && body >= V2_TCP4_BODY) {
        memcpy(&port_be, p + 8, 2);
        set_v4(out->source, p, port_be);
        return read_tlvs(p + V2_TCP4_BODY, body - V2_TCP4_BODY, out);
    }
    if (family == V2_TCP6 && body >= V2_TCP6_BODY) {
        memcpy(&port_be, p + 32, 2);
        set_v6(out->source, p, port_be);
        return read_tlvs(p + V2_TCP6_BODY, body - V2_TCP6_BODY, out);
    }
    return PROXY_INVALID;
}

// A port in decimal, 0 .. 65535, without a sign or a leading zero.
bool parse_port(const char *s, uint16_t *port_be)
{
    size_t n = strlen(s);
    if (n < 1 || n > 5 || (n > 1 && s[0] == '0'))
        return false;
    unsigned long v = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + static_cast<unsigned long>(s[i] - '0');
    }
    if (v > 65535)
        return false;
    *port_be = htons(static_cast<uint16_t>(v));
    return true;
}

proxy_result parse_v1(const unsigned char *buf, size_t len, proxy_header *out)
{
    size_t end = 0;  // index of the CR of the closing CRLF
    size_t scan = min_size(len, PROXY_V1_MAX);
    while (end + 1 < scan && !(buf[end] == '\r' && buf[end + 1] == '\n'))
        end++;
    if (end + 1 >= scan)
        return len >= PROXY_V1_MAX ? PROXY_INVALID : PROXY_NEED_MORE;
    char line[PROXY_V1_MAX];
    memcpy(line, buf, end);
    line[end] = '\0';
    if (strlen(line) != end)  // a NUL inside the line
        return PROXY_INVALID;
    // Fields are separated by exactly one space: "PROXY TCP4 src dst sport dport".
    const char *field[7] = {};
    int fields = 0;
    char *p = line;
    for (;;) {
        if (fields == 7)
            return PROXY_INVALID;
        field[fields++] = p;
        char *space = strchr(p, ' ');
        if (!space)
            break;
        *space = '\0';
        p = space + 1;
    }
    *out = proxy_header{};
    out->length = end + 2;
    if (fields >= 2 && !strcmp(field[1], "UNKNOWN")) {  // the rest of the line is ignored
        out->local = true;
        return PROXY_DONE;
    }
    if (fields != 6)
        return PROXY_INVALID;
    bool v4 = !strcmp(field[1], "TCP4"), v6 = !strcmp(field[1], "TCP6");
    unsigned char src[16], dst[16];
    uint16_t sport, dport;
    int af = v4 ? AF_INET : AF_INET6;
    if (!(v4 || v6) || inet_pton(af, field[2], src) != 1 || inet_pton(af, field[3], dst) != 1 ||
        !parse_port(field[4], &sport) || !parse_port(field[5], &dport))
        return PROXY_INVALID;
    if (v4)
        set_v4(out->source, src, sport);
    else
        set_v6(out->source, src, sport);
    return PROXY_DONE;
}

// The peer's address as 16 bytes, IPv4 as IPv4-mapped; false for other families.
bool as_v6_bytes(const sockaddr_storage &sa, unsigned char out[16])
{
    if (sa.ss_family == AF_INET) {
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        memcpy(out, mapped, 12);
        memcpy(out + 12, &reinterpret_cast<const sockaddr_in &>(sa).sin_addr, 4);
        return true;
    }
    if (sa.ss_family == AF_INET6) {
        memcpy(out, &reinterpret_cast<const sockaddr_in6 &>(sa).sin6_addr, 16);
        return true;
    }
    return false;
}

bool parse_range(const std::string &entry, proxy_range &r)
{
    size_t slash = entry.find('/');
    std::string addr = entry.substr(0, slash);
    sockaddr_storage sa{};
    unsigned char raw[16];
    int max_bits;
    if (inet_pton(AF_INET, addr.c_str(), raw) == 1) {
        set_v4(sa, raw, 0);
        max_bits = 32;
    } else if (inet_pton(AF_INET6, addr.c_str(), raw) == 1) {
        set_v6(sa, raw, 0);
        max_bits = 128;
    } else {
        return false;
    }
    int bits = max_bits;
    if (slash != std::string::npos) {
        std::string b = entry.substr(slash + 1);
        if (b.empty() || b.size() > 3 || b.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = std::stoi(b);
        if (bits > max_bits)
            return false;
    }
    as_v6_bytes(sa, r.addr);
    r.prefix_bits = bits + (128 - max_bits);  // an IPv4 range covers the mapped prefix too
    return true;
}

}  // namespace

proxy_result parse_proxy_header(const unsigned char *buf, size_t len, proxy_header *out)
{
    if (len == 0)
        return PROXY_NEED_MORE;
    if (buf[0] == V2_SIGNATURE[0]) {
        size_t n = min_size(len, sizeof V2_SIGNATURE);
        if (memcmp(buf, V2_SIGNATURE, n) != 0)
            return PROXY_INVALID;
        return parse_v2(buf, len, out);
    }
    size_t n = min_size(len, V1_PREFIX_LEN);
    if (memcmp(buf, V1_PREFIX, n) != 0)
        return PROXY_INVALID;
    return parse_v1(buf, len, out);
}

size_t write_proxy_v2(const sockaddr_storage &source, const sockaddr_storage &dest,
                      const std::string &name, unsigned char *out, size_t cap)
{
    bool v4 = source.ss_family == AF_INET;
    if ((!v4 && source.ss_family != AF_INET6) || name.size() > PROXY_NAME_MAX ||
        name.find('\0') != std::string::npos)
        return 0;
    size_t addrs = v4 ? V2_TCP4_BODY : V2_TCP6_BODY;
    size_t body = addrs + (name.empty() ? 0 : 3 + name.size());
    if (cap < PROXY_V2_FIXED + body)
        return 0;
    memcpy(out, V2_SIGNATURE, sizeof V2_SIGNATURE);
    out[12] = V2_PROXY;
    out[13] = v4 ? V2_TCP4 : V2_TCP6;
    out[14] = static_cast<unsigned char>(body >> 8);
    out[15] = static_cast<unsigned char>(body);
    unsigned char *p = out + PROXY_V2_FIXED;
    unsigned char src16[16], dst16[16] = {};
    as_v6_bytes(source, src16);
    bool dest_known = as_v6_bytes(dest, dst16);
    const size_t a = v4 ? 4 : 16;  // bytes of one address
    memcpy(p, v4 ? src16 + 12 : src16, a);
    if (dest_known && (!v4 || dest.ss_family == AF_INET))
        memcpy(p + a, v4 ? dst16 + 12 : dst16, a);
    else
        memset(p + a, 0, a);
    const auto &s4 = reinterpret_cast<const sockaddr_in &>(source);
    const auto &s6 = reinterpret_cast<const sockaddr_in6 &>(source);
    memcpy(p + 2 * a, v4 ? &s4.sin_port : &s6.sin6_port, 2);
    uint16_t dport =
        dest.ss_family == AF_INET    ? reinterpret_cast<const sockaddr_in &>(dest).sin_port
        : dest.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(dest).sin6_port
                                     : 0;
    memcpy(p + 2 * a + 2, &dport, 2);
    if (!name.empty()) {
        p[addrs] = PROXY_TLV_NAME;
        p[addrs + 1] = static_cast<unsigned char>(name.size() >> 8);
        p[addrs + 2] = static_cast<unsigned char>(name.size());
        std::copy(name.begin(), name.end(), p + addrs + 3);
    }
    return PROXY_V2_FIXED + body;
}

bool parse_proxy_ranges(const char *text, std::vector<proxy_range> &out, std::string &err)
{
    out.clear();
    std::string all = text ? text : "";
    size_t start = 0;
    for (;;) {
        size_t comma = all.find(',', start);
        std::string entry = all.substr(start, comma == std::string::npos ? comma : comma - start);
        proxy_range r{};
        if (!parse_range(entry, r)) {
            err = "\"" + entry + "\" is not an address or CIDR range";
            return false;
        }
        out.push_back(r);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool proxy_trusted(const std::vector<proxy_range> &ranges, const sockaddr_storage &peer)
{
    unsigned char a[16];
    if (!as_v6_bytes(peer, a))
        return false;
    for (const proxy_range &r : ranges) {
        int full = r.prefix_bits / 8, rest = r.prefix_bits % 8;
        if (memcmp(a, r.addr, static_cast<size_t>(full)) != 0)
            continue;
        unsigned mask = (0xff00u >> rest) & 0xffu;
        if (rest == 0 || ((a[full] ^ r.addr[full]) & mask) == 0)
            return true;
    }
    return false;
}
