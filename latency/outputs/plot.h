// SPDX-License-Identifier: GPL-2.0-or-later
//
// --plot: per direction, the latency histogram on a logarithmic time axis
// and the latency over the capture's TAP time; with --by, the latency CDF of
// the first groups instead. Drawn by gnuplot (a program of its own, given
// its script and data on its standard input) as SVG or PNG.

#ifndef OVINT_LATENCY_OUTPUTS_PLOT_H
#define OVINT_LATENCY_OUTPUTS_PLOT_H

#include "matching/analysis.h"

#include <string>
#include <vector>

// Whether the name ends in ".svg" or ".png".
bool is_picture_name(const char *name);

// Whether gnuplot is on the PATH.
bool gnuplot_found();

// Draws the picture of `analysis` into `path` (which the caller removes if
// this fails), as SVG or PNG by `name`'s ending; false with `error` set.
// `title` heads it; with groups, `groups` are drawn.
bool draw_plot(const char *name, const char *path, const Analysis &analysis, const std::string &title,
               const std::vector<GroupFigures *> &groups, std::string &error);

#endif // OVINT_LATENCY_OUTPUTS_PLOT_H
