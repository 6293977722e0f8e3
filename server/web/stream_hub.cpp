// Streams of frames over libmicrohttpd. A stream's content reader hands out the events
// its game_stream has due; with none, it suspends the connection and returns nothing,
// and the ticker resumes it a moment later to look again. A kept game is read from the
// store here, on the HTTP side's thread, never on the loop's.
#include "web/stream_hub.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/clock.h"
#include "store/records.h"

namespace {

constexpr size_t STREAM_BLOCK = 4096;  // bytes the library asks for at once
constexpr int ID_DIGITS_MAX = 18;

// The query's game number, -1 when it is missing or not a number.
int64_t game_number(MHD_Connection *c)
{
    const char *text = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "game");
    if (!text)
        return -1;
    size_t n = strlen(text);
    if (n == 0 || n > ID_DIGITS_MAX || strspn(text, "0123456789") != n)
        return -1;
    return strtoll(text, nullptr, 10);
}

}  // namespace

struct stream_hub::stream {
    stream_hub *hub;
    MHD_Connection *connection;
    connection_guard::conn *guarded;
    std::unique_ptr<game_stream> events;
    std::string pending;  // events taken from the game_stream, not yet handed out
    size_t sent = 0;
};

stream_hub::stream_hub(snapshot_board &board, records_sink *store, connection_guard &guard)
    : board_(board), store_(store), guard_(guard)
{
    ticker_ = std::thread([this] { tick(); });
}

stream_hub::~stream_hub()
{
    stop();
}

bool stream_hub::serves(const std::string &url)
{
    return url == "/api/live" || url == "/api/replay";
}

// A kept game's replay comes from the store's reading connection, which the loop never
// waits on.
std::unique_ptr<game_stream> stream_hub::open_stream(bool live, int64_t id)
{
    if (live)
        return std::make_unique<game_stream>(board_.live,
                                             id <= INT32_MAX ? static_cast<int>(id) : 0);
    std::string number = std::to_string(id);
    if (!store_ || !store_->keeps_records())
        return game_stream::ended("this server keeps no games");
    game_record rec;
    if (!store_->read_game(id, rec))
        return game_stream::ended("no game " + number + " can be read from the records");
    if (rec.replay.empty())
        return game_stream::ended("game " + number + " was kept without a replay");
    return std::make_unique<game_stream>(std::move(rec.replay), monotonic_ms());
}

MHD_Result stream_hub::answer(MHD_Connection *c, connection_guard::conn *gc, const std::string &url)
{
    int64_t id = game_number(c);
    if (id < 0) {
        static char bad[] = "the game= number is missing\n";
        MHD_Response *res =
            MHD_create_response_from_buffer(sizeof bad - 1, bad, MHD_RESPMEM_PERSISTENT);
        MHD_add_response_header(res, "Content-Type", "text/plain");
        MHD_add_response_header(res, "Connection", "close");
        MHD_Result ok = MHD_queue_response(c, 400, res);
        MHD_destroy_response(res);
        return ok;
    }
    auto *st = new stream{this, c, gc, open_stream(url == "/api/live", id), "", 0};
    MHD_Response *res =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, STREAM_BLOCK, read, st, release);
    if (!res) {
        delete st;
        return MHD_NO;
    }
    MHD_add_response_header(res, "Content-Type", "text/event-stream");
    MHD_add_response_header(res, "Cache-Control", "no-store");
    MHD_add_response_header(res, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(res, "Connection", "close");
    MHD_Result ok = MHD_queue_response(c, 200, res);
    MHD_destroy_response(res);
    return ok;
}

// The library asks for the next bytes. With nothing due, the connection is suspended
// first and only then listed for the ticker, which may resume it only once it is listed.
ssize_t stream_hub::read(void *cls, uint64_t, char *buf, size_t max)
{
    stream &st = *static_cast<stream *>(cls);
    stream_hub &hub = *st.hub;
    if (st.sent == st.pending.size()) {
        {
            std::lock_guard<std::mutex> lock(hub.mutex_);
            if (hub.stopping_)
                return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        st.pending = st.events->poll(monotonic_ms());
        st.sent = 0;
    }
    hub.guard_.keep_answering(st.guarded);
    if (st.sent < st.pending.size()) {
        size_t n = std::min(max, st.pending.size() - st.sent);
        std::copy_n(st.pending.data() + st.sent, n, buf);
        st.sent += n;
        return static_cast<ssize_t>(n);
    }
    if (st.events->done())
        return MHD_CONTENT_READER_END_OF_STREAM;
    MHD_suspend_connection(st.connection);
    std::unique_lock<std::mutex> lock(hub.mutex_);
    if (hub.stopping_) {  // stop() has already resumed what it found: resume this one too
        lock.unlock();
        MHD_resume_connection(st.connection);
        return 0;
    }
    hub.suspended_.push_back(&st);
    if (hub.suspended_.size() == 1)
        hub.wake_.notify_all();
    return 0;
}

// The library is done with the answer: the connection has closed or gone on.
void stream_hub::release(void *cls)
{
    delete static_cast<stream *>(cls);
}

// Every few milliseconds, resumes the waiting streams that have a frame due (a suspended
// stream's reader does not run, so its game_stream is the ticker's to look at); the
// library then asks each for its bytes again.
void stream_hub::tick()
{
    std::vector<stream *> due;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (suspended_.empty())
            wake_.wait(lock);
        else
            wake_.wait_for(lock, std::chrono::milliseconds(STREAM_TICK_MS));
        long long now = monotonic_ms();
        auto waiting =
            std::stable_partition(suspended_.begin(), suspended_.end(), [now, this](stream *st) {
                return !stopping_ && !st->events->ready(now);
            });
        due.assign(waiting, suspended_.end());
        suspended_.erase(waiting, suspended_.end());
        lock.unlock();
        for (stream *st : due)
            MHD_resume_connection(st->connection);
        due.clear();
        lock.lock();
    }
}

// The ticker ends first (resuming what it holds), so nothing resumes a connection once
// the library may have stopped.
void stream_hub::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable())
        ticker_.join();
    std::vector<stream *> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        due.swap(suspended_);
    }
    for (stream *st : due)
        MHD_resume_connection(st->connection);
}
