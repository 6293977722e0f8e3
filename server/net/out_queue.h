// A client's bounded output queue.
#pragma once

#include <cstddef>
#include <vector>

constexpr int OUT_BUF_SIZE = 64 * 1024;  // per-connection output bound

// Bytes waiting to be sent to one client, at most `limit`.
struct out_queue {
    std::vector<unsigned char> buf;
    size_t start = 0;
    size_t limit = OUT_BUF_SIZE;
    size_t pending() const { return buf.size() - start; }
    const unsigned char *front() const { return buf.data() + start; }
    // False (and nothing queued) when the bytes do not fit in the bound.
    bool push(const void *bytes, size_t len);
    void consume(size_t n);
    void reset();
};
