// Serves the known snapshot for the browser test: prints "listening PORT", then
// publishes the next snapshot (scores moved) for each "next" line on standard input and
// answers "published N"; ends at end of input. With --metrics it only prints the
// metrics of that snapshot, for promtool.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "status_sample.h"
#include "web/status_http.h"

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--metrics") == 0) {
        std::fputs(status_metrics(*sample_snapshot()).c_str(), stdout);
        return 0;
    }
    snapshot_board board;
    board.publish(sample_snapshot());
    status_http http;
    std::string error;
    if (!http.start("127.0.0.1", 0, board, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("listening %d\n", http.port());
    std::fflush(stdout);
    std::string line;
    for (int turn = 1; std::getline(std::cin, line); turn++) {
        if (line != "next")
            continue;
        board.publish(sample_snapshot(turn));
        std::printf("published %d\n", turn);
        std::fflush(stdout);
    }
    http.stop();
    return 0;
}
