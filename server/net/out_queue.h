// A client's bounded output queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int OUT_BUF_SIZE = 64 * 1024;  // per-connection output bound

// Bytes waiting to be sent to one client. Car positions never queue behind each other:
// a client that falls behind gets the newest, not a backlog it would work through one
// message per tick. Every other message keeps its place and order. The bound counts
// every byte handed over since the kernel last took any, replaced positions included,
// so a client that stops reading reaches it as soon as if nothing were replaced.
struct out_queue {
    static constexpr size_t NO_POSITION = SIZE_MAX;
    std::vector<unsigned char> buf;
    size_t start = 0;
    size_t limit = OUT_BUF_SIZE;
    size_t since_taken = 0;  // bytes handed over since the kernel last took any
    // Where in buf the last message begins when it is a position message; NO_POSITION
    // otherwise.
    size_t last_position = NO_POSITION;
    size_t pending() const { return buf.size() - start; }
    const unsigned char *front() const { return buf.data() + start; }
    // False (and nothing queued) when the bytes do not fit in the bound.
    bool push(const void *bytes, size_t len);
    // Queues a position message, in the place of the last message when that is a
    // position message of the same size none of whose bytes has been sent (*replaced
    // is then its length, else 0). False (and nothing changed) when it does not fit.
    bool push_position(const void *bytes, size_t len, size_t *replaced);
    void consume(size_t n);
    void reset();
};
