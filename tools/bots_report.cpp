// Totals and distributions of one run, as text and as one JSON line. Every string in
// the JSON is the tool's own (names it made, reasons it wrote), never server text.
#include "bots_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

const char *const tag_names[TAG_COUNT] = {
    "keys",         "playerinfo", "playerinfo2", "roundinfo", "map",         "smoke",
    "hiscore",      "lobby",      "ready",       "start",     "stage_clear", "round_result",
    "final_result", "live",       "game_over",   "quit",      "pause",
};

// A bot counts in the position-rate figures once it has been on the field for a second.
constexpr double PLAY_S_MIN = 1.0;

void add(std::string &s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void add(std::string &s, const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0)
        s.append(buf,
                 static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

struct summary {
    long connected = 0, connect_failed = 0, told_full = 0, refused = 0, checked_in = 0;
    long reached_play = 0, lost = 0, quit = 0, protocol_errors = 0, bots_with_errors = 0;
    std::vector<double> checkin_ms, pos_rate;
    double max_gap_ms = 0;
    std::string max_gap_bot, first_error;
    long tags[TAG_COUNT] = {};
    double checked_in_s = 0;
};

double rate(const bot_figures &b)
{
    return b.play_s > 0 ? static_cast<double>(b.pos_in_play) / b.play_s : 0;
}

summary summarise(const run_figures &fig)
{
    summary s;
    for (const bot_figures &b : fig.bots) {
        s.connected += b.connected;
        s.connect_failed += b.connect_failed;
        s.told_full += b.told_full;
        s.refused += b.refused;
        s.checked_in += b.checked_in;
        s.reached_play += b.reached_play;
        s.lost += b.lost;
        s.quit += b.quit;
        s.protocol_errors += b.protocol_errors;
        s.bots_with_errors += b.protocol_errors > 0;
        if (s.first_error.empty() && !b.first_error.empty())
            s.first_error = b.name + ": " + b.first_error;
        if (b.checked_in)
            s.checkin_ms.push_back(b.checkin_ms);
        if (b.reached_play && b.play_s >= PLAY_S_MIN)
            s.pos_rate.push_back(rate(b));
        if (b.reached_play && b.max_gap_ms > s.max_gap_ms) {
            s.max_gap_ms = b.max_gap_ms;
            s.max_gap_bot = b.name;
        }
        for (int t = 0; t < TAG_COUNT; t++)
            s.tags[t] += b.tags[t];
        s.checked_in_s += b.checked_in_s;
    }
    return s;
}

const char *outcome(const bot_figures &b)
{
    if (b.connect_failed)
        return "connect failed";
    if (b.refused)
        return b.told_full ? "told full and closed" : "closed in check-in";
    if (b.lost)
        return "lost";
    if (!b.checked_in)
        return "not checked in";
    return b.reached_play ? "played" : "checked in, never on the field";
}

double min_of(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

double max_of(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

}  // namespace

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    size_t k = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(k, values.size() - 1)];
}

std::string report_text(const bots_options &opts, const run_figures &fig)
{
    summary s = summarise(fig);
    std::string r;
    add(r,
        "mazecar-bots: %.1f s against %s port %d, descriptor limit %d; the tool used %.2f s of "
        "processor, its longest busy stretch %.1f ms\n",
        fig.seconds, opts.server, opts.port, fig.fd_limit, fig.cpu_s, fig.max_busy_ms);
    if (opts.clients > 0) {
        add(r,
            "bots: %d started (source addresses: %d), %ld connected, %ld connect failures, "
            "%ld checked in (%ld told full, %ld closed in check-in), %ld reached play, "
            "%ld lost, %ld told to quit\n",
            opts.clients, opts.sources, s.connected, s.connect_failed, s.checked_in, s.told_full,
            s.refused, s.reached_play, s.lost, s.quit);
        add(r, "check-in time ms: median %.1f, p99 %.1f, max %.1f\n", percentile(s.checkin_ms, 50),
            percentile(s.checkin_ms, 99), max_of(s.checkin_ms));
        add(r,
            "position messages a second per playing bot (%zu bots in play >= %.0f s): "
            "min %.1f, p1 %.1f, median %.1f\n",
            s.pos_rate.size(), PLAY_S_MIN, min_of(s.pos_rate), percentile(s.pos_rate, 1),
            percentile(s.pos_rate, 50));
        add(r, "longest gap between position messages in play: %.1f ms (%s)\n", s.max_gap_ms,
            s.max_gap_bot.empty() ? "-" : s.max_gap_bot.c_str());
        add(r, "protocol errors: %ld in %ld bots%s%s\n", s.protocol_errors, s.bots_with_errors,
            s.first_error.empty() ? "" : "; first: ", s.first_error.c_str());
        add(r, "messages by tag (total, per checked-in bot and second):");
        for (int t = 1; t < TAG_COUNT; t++)
            if (s.tags[t] > 0)
                add(r, " %s %ld %.2f", tag_names[t], s.tags[t],
                    s.checked_in_s > 0 ? static_cast<double>(s.tags[t]) / s.checked_in_s : 0);
        add(r, "\n");
    }
    for (int k = KIND_IDLE; k < KIND_COUNT; k++) {
        const mode_figures &m = fig.modes[k];
        if (m.started == 0)
            continue;
        add(r,
            "%s: %ld connections started, %ld stood, %ld failed to connect, %ld greeted, "
            "%ld closed by the server (%ld before the greeting; median after %.1f s), %ld open "
            "at the end\n",
            kind_names[k], m.started, m.connected, m.connect_failed, m.greeted, m.closed_by_server,
            m.closed_before_greeting, percentile(m.open_s, 50), m.open_at_end);
    }
    if (opts.probe)
        add(r, "probe check-in ms: %zu checked in, %ld failed, median %.1f, p99 %.1f, max %.1f\n",
            fig.probe_ms.size(), fig.probe_failed, percentile(fig.probe_ms, 50),
            percentile(fig.probe_ms, 99), max_of(fig.probe_ms));
    if (opts.per_bot)
        for (const bot_figures &b : fig.bots)
            add(r,
                "  %s from %s: %s, check-in %.1f ms, in play %.1f s, %.1f positions/s, "
                "max gap %.1f ms, %ld protocol errors\n",
                b.name.c_str(), b.source.c_str(), outcome(b), b.checkin_ms, b.play_s, rate(b),
                b.max_gap_ms, b.protocol_errors);
    return r;
}

std::string report_json(const bots_options &opts, const run_figures &fig)
{
    summary s = summarise(fig);
    std::string j;
    add(j,
        "{\"seconds\":%.3f,\"server\":\"%s\",\"port\":%d,\"clients\":%d,\"sources\":%d,"
        "\"tool_cpu_s\":%.3f,\"tool_max_busy_ms\":%.3f,",
        fig.seconds, opts.server, opts.port, opts.clients, opts.sources, fig.cpu_s,
        fig.max_busy_ms);
    add(j,
        "\"connected\":%ld,\"connect_failed\":%ld,\"told_full\":%ld,\"refused\":%ld,"
        "\"checked_in\":%ld,\"reached_play\":%ld,\"lost\":%ld,\"quit\":%ld,"
        "\"protocol_errors\":%ld,\"bots_with_protocol_errors\":%ld,",
        s.connected, s.connect_failed, s.told_full, s.refused, s.checked_in, s.reached_play, s.lost,
        s.quit, s.protocol_errors, s.bots_with_errors);
    add(j, "\"checkin_ms\":{\"median\":%.3f,\"p99\":%.3f,\"max\":%.3f},",
        percentile(s.checkin_ms, 50), percentile(s.checkin_ms, 99), max_of(s.checkin_ms));
    add(j, "\"pos_per_s\":{\"bots\":%zu,\"min\":%.3f,\"p1\":%.3f,\"median\":%.3f},",
        s.pos_rate.size(), min_of(s.pos_rate), percentile(s.pos_rate, 1),
        percentile(s.pos_rate, 50));
    add(j, "\"max_gap_ms\":%.3f,\"tags\":{", s.max_gap_ms);
    bool first = true;
    for (int t = 1; t < TAG_COUNT; t++) {
        add(j, "%s\"%s\":%ld", first ? "" : ",", tag_names[t], s.tags[t]);
        first = false;
    }
    add(j, "},\"modes\":{");
    first = true;
    for (int k = KIND_IDLE; k < KIND_COUNT; k++) {
        const mode_figures &m = fig.modes[k];
        add(j,
            "%s\"%s\":{\"started\":%ld,\"connected\":%ld,\"connect_failed\":%ld,\"greeted\":%ld,"
            "\"closed_by_server\":%ld,\"closed_before_greeting\":%ld,\"open_at_end\":%ld,"
            "\"median_open_s\":%.3f}",
            first ? "" : ",", kind_names[k], m.started, m.connected, m.connect_failed, m.greeted,
            m.closed_by_server, m.closed_before_greeting, m.open_at_end, percentile(m.open_s, 50));
        first = false;
    }
    add(j,
        "},\"probe\":{\"checked_in\":%zu,\"failed\":%ld,\"median_ms\":%.3f,\"p99_ms\":%.3f,"
        "\"max_ms\":%.3f}",
        fig.probe_ms.size(), fig.probe_failed, percentile(fig.probe_ms, 50),
        percentile(fig.probe_ms, 99), max_of(fig.probe_ms));
    if (opts.per_bot) {
        add(j, ",\"bots\":[");
        for (size_t i = 0; i < fig.bots.size(); i++) {
            const bot_figures &b = fig.bots[i];
            add(j,
                "%s{\"name\":\"%s\",\"source\":\"%s\",\"checked_in\":%s,\"reached_play\":%s,"
                "\"lost\":%s,"
                "\"refused\":%s,\"told_full\":%s,\"connect_failed\":%s,\"checkin_ms\":%.3f,\"play_"
                "s\":%.3f,\"pos_per_s\":%.3f,"
                "\"max_gap_ms\":%.3f,\"protocol_errors\":%ld,\"tags_per_s\":{",
                i ? "," : "", b.name.c_str(), b.source.c_str(), b.checked_in ? "true" : "false",
                b.reached_play ? "true" : "false", b.lost ? "true" : "false",
                b.refused ? "true" : "false", b.told_full ? "true" : "false",
                b.connect_failed ? "true" : "false", b.checkin_ms, b.play_s, rate(b), b.max_gap_ms,
                b.protocol_errors);
            for (int t = 1; t < TAG_COUNT; t++)
                add(j, "%s\"%s\":%.3f", t > 1 ? "," : "", tag_names[t],
                    b.checked_in_s > 0 ? static_cast<double>(b.tags[t]) / b.checked_in_s : 0);
            add(j, "}}");
        }
        add(j, "]");
    }
    add(j, "}\n");
    return j;
}
