// The HTTP side's moving pictures: /api/live?game=ID (a running game) and
// /api/replay?game=ID (a kept game played again) answer with Server-Sent Events, ten
// frames a second, through the library's documented way of streaming: a content reader
// that suspends its connection while it has nothing to send, and a ticker thread that
// resumes a suspended stream once it has a frame due. A stream is a connection like any
// other (the same limits per address and in all); it must keep moving, or the guard cuts
// it as it cuts any answer that stops leaving.
#pragma once

#include <microhttpd.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/game_stream.h"
#include "web/http_guard.h"

class records_sink;

constexpr int STREAM_TICK_MS = 10;  // suspended streams are looked at this often

class stream_hub {
public:
    stream_hub(snapshot_board &board, records_sink *store, connection_guard &guard);
    stream_hub(const stream_hub &) = delete;
    stream_hub &operator=(const stream_hub &) = delete;
    ~stream_hub();

    // True for the paths served here.
    static bool serves(const std::string &url);
    // Queues the stream that url and the query's game ask for on the connection; a query
    // without a game number gets a plain 400.
    MHD_Result answer(MHD_Connection *c, connection_guard::conn *gc, const std::string &url);
    // Ends every stream and resumes it, so the library can stop: call before stopping it.
    void stop();

    struct stream;  // one open stream; in stream_hub.cpp

private:
    static ssize_t read(void *cls, uint64_t pos, char *buf, size_t max);
    static void release(void *cls);
    std::unique_ptr<game_stream> open_stream(bool live, int64_t id);
    void tick();

    snapshot_board &board_;
    records_sink *store_;
    connection_guard &guard_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<stream *> suspended_;  // streams waiting for their next frame
    bool stopping_ = false;
    std::thread ticker_;
};
