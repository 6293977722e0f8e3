// The load tool's report: totals and distributions as text for people and, on
// request, one JSON line for scripts.
#pragma once

#include <string>
#include <vector>

#include "bots_run.h"

// Nearest-rank percentile p (0 .. 100) of the values; 0 for none.
double percentile(std::vector<double> values, double p);

std::string report_text(const bots_options &opts, const run_figures &fig);
std::string report_json(const bots_options &opts, const run_figures &fig);
