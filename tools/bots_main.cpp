// mazecar-bots: headless clients that load a Mazecar server on loopback and report
// what each received.
#include <cstdio>

#include "bots_options.h"
#include "bots_report.h"
#include "bots_run.h"

int main(int argc, char **argv)
{
    bots_options opts;
    int parsed = parse_bots_options(argc, argv, opts);
    if (parsed == BOTS_HELP) {
        print_bots_usage(argv[0]);
        return 0;
    }
    if (parsed == BOTS_BAD)
        return 2;
    run_figures fig;
    if (!run_bots(opts, fig))
        return 1;
    fputs(report_text(opts, fig).c_str(), stdout);
    if (opts.json)
        fputs(report_json(opts, fig).c_str(), stdout);
    return 0;
}
