// The HTTP side on libmicrohttpd. The library accepts, reads and bounds each request in
// the memory it allows a connection, answers on a small pool of threads and closes a
// connection that stays silent; the guard (web/http_guard.h) decides who may connect
// and cuts what overstays. Every answer is a fixed text (the page, the errors) or a text
// rendered once per snapshot.
#include "web/status_http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "web/http_guard.h"
#include "web/stream_hub.h"

struct status_http::site {
    site(snapshot_board &board, const http_limits &l, records_sink *store)
        : limits(l), guard(l), texts(board), streams(board, store, guard)
    {
    }
    site(const site &) = delete;
    site &operator=(const site &) = delete;
    // The streams let go of their connections, then the library stops, and reports its
    // last closed connections to the guard.
    ~site()
    {
        streams.stop();
        if (daemon)
            MHD_stop_daemon(daemon);
        guard.stop();
    }
    bool start(int listener);

    const http_limits limits;
    connection_guard guard;
    rendered_status texts;
    stream_hub streams;
    MHD_Daemon *daemon = nullptr;
};

namespace {

using site = status_http::site;

constexpr int LISTEN_BACKLOG = 128;

const char *const TEXT = "text/plain";
const char *const HTML = "text/html; charset=utf-8";
const char *const PAGE_POLICY = "default-src 'none'; script-src 'unsafe-inline'; style-src "
                                "'unsafe-inline'; connect-src 'self'; base-uri 'none'; "
                                "form-action 'none'; frame-ancestors 'none'";

// A listening socket on addr:port (port 0: an ephemeral one, put in bound); -1 and why
// not.
int open_listener(const std::string &addr, int port, int &bound, std::string &why)
{
    sockaddr_storage sa{};
    auto &v4 = reinterpret_cast<sockaddr_in &>(sa);
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(sa);
    socklen_t len = 0;
    if (inet_pton(AF_INET, addr.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof v4;
    } else if (inet_pton(AF_INET6, addr.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof v6;
    } else {
        why = "not a numeric IPv4 or IPv6 address";
        return -1;
    }
    int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int yes = 1;  // SO_REUSEADDR only: a second server on the port must fail to listen
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(fd, LISTEN_BACKLOG) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    bound = ntohs(sa.ss_family == AF_INET ? v4.sin_port : v6.sin6_port);
    return fd;
}

// One answer: a text that lasts as long as the process, or a rendered one that `keep`
// holds alive until the library has sent it.
struct reply {
    unsigned status;
    const char *type;
    const char *data;
    size_t size;
    std::shared_ptr<const std::string> keep;
    const char *header = nullptr, *value = nullptr;  // one more header, if any
};

reply fixed(unsigned status, const char *type, const char *data, size_t size,
            const char *header = nullptr, const char *value = nullptr)
{
    return reply{status, type, data, size, nullptr, header, value};
}

template <size_t N>
reply plain(unsigned status, const char (&text)[N], const char *header = nullptr,
            const char *value = nullptr)
{
    return fixed(status, TEXT, text, N - 1, header, value);
}

void release_text(void *cls)
{
    delete static_cast<std::shared_ptr<const std::string> *>(cls);
}

MHD_Response *response_of(const reply &r)
{
    void *data = const_cast<char *>(r.data);
    if (!r.keep)
        return MHD_create_response_from_buffer(r.size, data, MHD_RESPMEM_PERSISTENT);
    auto *hold = new std::shared_ptr<const std::string>(r.keep);
    MHD_Response *res =
        MHD_create_response_from_buffer_with_free_callback_cls(r.size, data, release_text, hold);
    if (!res)
        delete hold;
    return res;
}

MHD_Result send_reply(MHD_Connection *c, const reply &r, bool last)
{
    MHD_Response *res = response_of(r);
    if (!res)
        return MHD_NO;
    MHD_add_response_header(res, "Content-Type", r.type);
    MHD_add_response_header(res, "Cache-Control", "no-store");
    MHD_add_response_header(res, "X-Content-Type-Options", "nosniff");
    if (r.header)
        MHD_add_response_header(res, r.header, r.value);
    if (last)
        MHD_add_response_header(res, "Connection", "close");
    MHD_Result ok = MHD_queue_response(c, r.status, res);
    MHD_destroy_response(res);
    return ok;
}

// The head within head_bytes and head_lines (the request line, the headers and the blank
// line that ends them). The library has already refused a head much larger, which would
// not fit the memory it allows a connection.
bool head_fits(MHD_Connection *c, const http_limits &limits)
{
    const MHD_ConnectionInfo *size =
        MHD_get_connection_info(c, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    int headers = MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr);
    return size && size->header_size <= static_cast<size_t>(limits.head_bytes) &&
           headers + 2 <= limits.head_lines;
}

// A request refused from its head alone: too large, or neither GET nor HEAD.
bool refused(MHD_Connection *c, const http_limits &limits, const std::string &method, reply &r)
{
    if (!head_fits(c, limits))
        r = plain(431, "request head too large\n");
    else if (method != "GET" && method != "HEAD")
        r = plain(405, "only GET and HEAD\n", "Allow", "GET, HEAD");
    else
        return false;
    return true;
}

reply route(site &s, const std::string &url)
{
    const std::string &page = status_page_html();
    if (url == "/")
        return fixed(200, HTML, page.data(), page.size(), "Content-Security-Policy", PAGE_POLICY);
    std::shared_ptr<const std::string> text;
    const char *type = nullptr;
    if (url == "/api/status") {
        text = s.texts.json();
        type = "application/json";
    } else if (url == "/metrics") {
        text = s.texts.metrics();
        type = "text/plain; version=0.0.4; charset=utf-8";
    } else {
        return plain(404, "404\n");
    }
    if (!text)
        return plain(503, "no snapshot yet\n");
    return reply{200, type, text->data(), text->size(), text};
}

connection_guard::conn *guarded(MHD_Connection *c)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<connection_guard::conn *>(info->socket_context) : nullptr;
}

// The library calls this once the head has arrived, once for each piece of a body, and
// once more with none. An answer queued on the first call makes it close the connection
// after: refusals go out then, anything served on the last call. A body is dropped.
MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                      const char *, const char *, size_t *upload_size, void **request)
{
    auto &s = *static_cast<site *>(cls);
    connection_guard::conn *conn = guarded(c);
    if (!conn)
        return MHD_NO;
    if (!*request) {
        *request = conn;
        reply r{};
        if (!s.guard.request_began(conn))
            return MHD_NO;
        return refused(c, s.limits, method, r) ? send_reply(c, r, true) : MHD_YES;
    }
    if (*upload_size > 0) {
        *upload_size = 0;
        return MHD_YES;
    }
    if (stream_hub::serves(url))
        return s.streams.answer(c, conn, url);
    return send_reply(c, route(s, url), s.guard.last_request(conn));
}

MHD_Result on_accept(void *cls, const sockaddr *addr, socklen_t len)
{
    return static_cast<site *>(cls)->guard.admit(copy_address(addr, len)) ? MHD_YES : MHD_NO;
}

void on_connection(void *cls, MHD_Connection *c, void **context,
                   MHD_ConnectionNotificationCode code)
{
    auto &s = *static_cast<site *>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *fd =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo *from =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const sockaddr *a = from ? from->client_addr : nullptr;
        size_t len = a && a->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        *context = s.guard.started(copy_address(a, len), fd ? fd->connect_fd : -1);
    } else if (*context) {
        s.guard.closed(static_cast<connection_guard::conn *>(*context));
        *context = nullptr;
    }
}

void on_completed(void *cls, MHD_Connection *c, void **, MHD_RequestTerminationCode)
{
    if (connection_guard::conn *conn = guarded(c))
        static_cast<site *>(cls)->guard.request_done(conn);
}

}  // namespace

std::shared_ptr<const std::string> rendered_status::text(int which)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<const status_snapshot> snap = board_.latest();
    if (!snap)
        return nullptr;
    if (snap != snap_) {
        snap_ = snap;
        texts_[0].reset();
        texts_[1].reset();
    }
    if (!texts_[which])
        texts_[which] = std::make_shared<const std::string>(which == 0 ? status_json(*snap)
                                                                       : status_metrics(*snap));
    return texts_[which];
}

// The library's time-out counts whole seconds of silence; the guard bounds the rest. Its
// own connection limit stays above the guard's, so the guard refuses first (and
// at once) whichever of the threads accepted.
bool status_http::site::start(int listener)
{
    daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME, 0,
        on_accept, this, on_request, this, MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(limits.threads),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits.connections * limits.threads + 1),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>((limits.idle_ms + 999) / 1000),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(2 * limits.head_bytes + 4096),
        MHD_OPTION_NOTIFY_CONNECTION, on_connection, this, MHD_OPTION_NOTIFY_COMPLETED,
        on_completed, this, MHD_OPTION_END);
    return daemon != nullptr;
}

bool status_http::start(const std::string &addr, int port, snapshot_board &board,
                        std::string &error, const http_limits &limits, records_sink *store)
{
    stop();
    std::string why;
    int bound = 0;
    int listener = open_listener(addr, port, bound, why);
    std::unique_ptr<site> s;
    if (listener >= 0) {
        s = std::make_unique<site>(board, limits, store);
        // When the library fails to start it may or may not have closed the socket: left
        // open on that rare path rather than closed twice.
        if (!s->start(listener))
            why = "the HTTP library did not start";
    }
    if (!s || !s->daemon) {
        error = "cannot listen for HTTP on " + addr + " port " + std::to_string(port) + ": " + why;
        return false;
    }
    site_ = std::move(s);
    port_ = bound;
    return true;
}

void status_http::stop()
{
    site_.reset();
    port_ = 0;
}

status_http::status_http() = default;

status_http::~status_http()
{
    stop();
}

bool parse_http_address(const std::string &text, std::string &addr, int &port)
{
    std::string host, digits;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        digits = text.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1)
            return false;
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
        in_addr a4{};
        if (inet_pton(AF_INET, host.c_str(), &a4) != 1)
            return false;
    }
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int value = std::stoi(digits);
    if (value < 1 || value > 65535)
        return false;
    addr = host;
    port = value;
    return true;
}
