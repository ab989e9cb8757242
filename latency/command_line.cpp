// SPDX-License-Identifier: GPL-2.0-or-later

#include "command_line.h"

#include "capture_io/program_shell.h"
#include "outputs/plot.h"

#include <glib.h>
#include <wsutil/ws_getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char USAGE[] =
    "Usage: ovint-latency [OPTION]... CAPTURE...\n"
    "Reports how long a device between the two links of a BRAXEL TAP VESTRIL\n"
    "holds each frame it forwards (per direction: percentiles, jitter,\n"
    "loss), the frames not seen on the other link and the TAP's flags on\n"
    "them, and each port's busiest windows. Several captures are one capture\n"
    "continued (a ring buffer's files, in order); \"-\" is standard input.\n"
    "\n"
    "  -k, --key MODE         frame, ip (default), nat or payload: what a frame is\n"
    "                         recognised by on the other link (switches, routers,\n"
    "                         address translation, proxies)\n"
    "  -w, --window MS        how long a frame may take to be seen on the other\n"
    "                         link, in milliseconds (default 100)\n"
    "  -c, --cabling IN-OUT   A-C, A-D, B-C or B-D: the port of link 1 that\n"
    "                         carries frames toward the device and the port of\n"
    "                         link 2 that carries them away (A-C: the device\n"
    "                         forwards Con A -> Con C and Con D -> Con B); auto\n"
    "                         (default): learnt from the capture's first pairs\n"
    "  -j, --jobs N           threads in all: one matches while the others read\n"
    "                         and key the captures (default: one a core)\n"
    "      --json             the report as JSON\n"
    "      --json-lines       the directions, ports and groups as JSON, one\n"
    "                         object a line (pandas: read_json(lines=True))\n"
    "  -p, --pairs FILE       one CSV row per match (.gz: compressed; \"-\": on\n"
    "                         standard output, the report then on standard error)\n"
    "  -f, --frames FILE      one CSV row per trailer-bearing frame (likewise)\n"
    "  -l, --line-rate R1[,R2] each link's rate (link 1: Con A/B, link 2: Con C/D;\n"
    "                         one for both): 1G, 2.5G, 10G, 100G, 400G, or any\n"
    "                         number with M or G. Bursts are then the bits on the\n"
    "                         wire, frames at a window's edges in part, and a\n"
    "                         share of the line (without: the bytes of the frames\n"
    "                         that start in a window)\n"
    "  -d, --definition DEF   fifo (default: first bit in to first bit out, as\n"
    "                         the TAP times give), lifo, lilo or filo: latency as\n"
    "                         RFC 1242/4689 and MEF 10 define it; needs --line-rate\n"
    "  -b, --by GROUP         flow, dscp, vlan or protocol: the report per group,\n"
    "                         as the frames entered the device (with --interval,\n"
    "                         each interval's, at most 64 groups apart)\n"
    "      --top N            the N groups first in --sort's order (default: 10\n"
    "                         flows, every other group)\n"
    "      --sort ORDER       p99 (default), loss, count or max\n"
    "      --groups-limit N   groups told apart before the least busy fold into\n"
    "                         \"other\" (default 100000)\n"
    "  -P, --plot FILE        per direction, the latency histogram and the latency\n"
    "                         over TAP time, drawn by gnuplot (.svg or .png)\n"
    "      --sightings FILE   only read and key the captures, into FILE, for a\n"
    "                         run with --from-sightings (elsewhere, or later)\n"
    "      --from-sightings   the arguments are sightings files: match and report\n"
    "                         as from their captures\n"
    "      --force            replace existing outputs\n"
    "      --follow           CAPTURE is still being written: one file that grows,\n"
    "                         or the name dumpcap was given for its ring buffer\n"
    "                         (-w NAME.EXT -b ...), whose files are read in turn\n"
    "                         as they appear; until SIGTERM or SIGINT. With\n"
    "                         --interval (default 10s)\n"
    "      --interval TIME    follow the captures as they are read (a pipe from\n"
    "                         dumpcap, say): one JSON line on standard output per\n"
    "                         TIME of TAP time (10s, 500ms, 1m; default 10s with\n"
    "                         --metrics) instead of the report at the end\n"
    "      --interval-log FILE  the interval lines appended to FILE instead, which\n"
    "                         SIGHUP reopens (after a log rotation)\n"
    "      --metrics [HOST:]PORT  serve the figures for Prometheus at /metrics\n"
    "                         (on the loopback address unless HOST is given),\n"
    "                         updated each interval\n"
    "      --linger           with --metrics: go on serving once the captures end,\n"
    "                         until stopped (SIGTERM or SIGINT)\n"
    "  -h, --help             this text\n"
    "  -v, --version          ovint's version and the Wireshark it was built for\n"
    "\n"
    "Tables and pictures are files put in place only when complete (through a\n"
    "symbolic link, into the file it leads to), or FIFOs and devices written in\n"
    "place; none may be one of the captures.\n"
    "\n"
    "Exit status: 0 reported; 1 error, nothing reported or written (gnuplot\n"
    "missing or failing, an existing file without --force among them); 2 wrong\n"
    "command line (an output that is a capture among them); 3 a capture cut off\n"
    "or damaged, the report covers the frames before it; 4 the report could not\n"
    "be written. A signal that ends it leaves no file and ends it by that signal.\n";

// A length of time such as 10s, 500ms, 1m or 1h, in ns: a whole number of
// its unit, from 1 ms to a day.
static bool read_duration(const char *text, uint64_t *ns)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long count = strtoull(text, &end, 10);
    if (errno || end == text || text[0] == '-')
        return false;
    static const struct {
        const char *unit;
        uint64_t ns;
    } UNITS[] = {{"ms", UINT64_C(1000000)}, {"s", UINT64_C(1000000000)}, {"m", UINT64_C(60000000000)},
                 {"h", UINT64_C(3600000000000)}};
    for (const auto &unit : UNITS) {
        if (std::strcmp(end, unit.unit) != 0)
            continue;
        if (count > UINT64_C(86400000000000) / unit.ns)
            return false;
        *ns = count * unit.ns;
        return *ns >= UINT64_C(1000000);
    }
    return false;
}

// A rate such as 10G, 2.5G or 100M, in bits per second: a whole number of
// them, from 1 Mbit/s to 1000 Gbit/s.
static bool read_rate(const char *text, uint64_t *bits_per_second)
{
    uint64_t whole = 0, fraction = 0, fraction_scale = 1;
    const char *c = text;
    if (!g_ascii_isdigit(*c))
        return false;
    for (; g_ascii_isdigit(*c); c++) {
        whole = whole * 10 + static_cast<uint64_t>(*c - '0');
        if (whole > 1000000)
            return false;
    }
    if (*c == '.') {
        for (c++; g_ascii_isdigit(*c); c++) {
            if (fraction_scale == 1000000000)
                return false;
            fraction = fraction * 10 + static_cast<uint64_t>(*c - '0');
            fraction_scale *= 10;
        }
    }
    const uint64_t unit = *c == 'G' ? 1000000000 : *c == 'M' ? 1000000 : 0;
    if (!unit || c[1] || unit * fraction % fraction_scale)
        return false;
    const uint64_t rate = whole * unit + unit * fraction / fraction_scale;
    if (rate < 1000000 || rate > 1000000000000ull)
        return false;
    *bits_per_second = rate;
    return true;
}

// [HOST:]PORT, PORT from 1 to 65535 and HOST one name or address: the
// listening library would take a list, or options, from what is left.
static bool valid_listen_address(const char *text)
{
    const char *colon = std::strrchr(text, ':');
    const char *port = colon ? colon + 1 : text;
    if (colon == text || !*port || std::strlen(port) > 5)
        return false;
    for (const char *c = port; *c; c++) {
        if (*c < '0' || *c > '9')
            return false;
    }
    const long number = std::strtol(port, nullptr, 10);
    if (number < 1 || number > 65535)
        return false;
    for (const char *c = text; c < (colon ? colon : text); c++) {
        if (*c == ',' || *c == ' ' || *c == '\t' || *c == '+')
            return false;
    }
    return true;
}

static int usage_error(const char *format, const char *value)
{
    fputs("ovint-latency: ", stderr);
    fprintf(stderr, format, value);
    fputs(" (--help tells more)\n", stderr);
    return EXIT_USAGE;
}

int parse_command_line(int argc, char **argv, Options &options)
{
    static const struct ws_option long_options[] = {
        {"key", ws_required_argument, nullptr, 'k'},   {"window", ws_required_argument, nullptr, 'w'},
        {"cabling", ws_required_argument, nullptr, 'c'},
        {"json", ws_no_argument, nullptr, 'J'},        {"json-lines", ws_no_argument, nullptr, 'L'},        {"jobs", ws_required_argument, nullptr, 'j'},        {"pairs", ws_required_argument, nullptr, 'p'},
        {"frames", ws_required_argument, nullptr, 'f'}, {"line-rate", ws_required_argument, nullptr, 'l'},
        {"plot", ws_required_argument, nullptr, 'P'},  {"force", ws_no_argument, nullptr, 'F'},
        {"definition", ws_required_argument, nullptr, 'd'}, {"by", ws_required_argument, nullptr, 'b'},
        {"top", ws_required_argument, nullptr, 'T'},   {"sort", ws_required_argument, nullptr, 'S'},
        {"groups-limit", ws_required_argument, nullptr, 'G'},
        {"sightings", ws_required_argument, nullptr, 'Q'}, {"from-sightings", ws_no_argument, nullptr, 'R'},
        {"interval", ws_required_argument, nullptr, 'I'}, {"metrics", ws_required_argument, nullptr, 'M'},
        {"linger", ws_no_argument, nullptr, 'N'}, {"follow", ws_no_argument, nullptr, 'W'},
        {"interval-log", ws_required_argument, nullptr, 'O'},
        {"help", ws_no_argument, nullptr, 'h'},        {"version", ws_no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = ws_getopt_long(argc, argv, "k:w:c:j:p:f:l:P:d:b:hv", long_options, nullptr)) != -1) {
        switch (option) {
        case 'k':
            if (!key_mode_from_name(ws_optarg, &options.key) || options.key == KeyMode::off)
                return usage_error("unknown key \"%s\": give frame, ip, nat or payload.", ws_optarg);
            options.key_given = true;
            break;
        case 'w': {
            char *end = nullptr;
            errno = 0;
            const unsigned long long window = strtoull(ws_optarg, &end, 10);
            if (errno || end == ws_optarg || *end || window == 0 || window > 3600000)
                return usage_error("the window \"%s\" is not a number of milliseconds from 1 to 3600000.", ws_optarg);
            options.window_ms = window;
            break;
        }
        case 'c':
            if (!cabling_from_name(ws_optarg, &options.cabling))
                return usage_error("unknown cabling \"%s\": give auto, A-C, A-D, B-C or B-D.", ws_optarg);
            break;
        case 'J': options.json = true; break;
        case 'L': options.json_lines = true; break;
        case 'j': {
            char *end = nullptr;
            errno = 0;
            const unsigned long jobs = strtoul(ws_optarg, &end, 10);
            if (errno || end == ws_optarg || *end || jobs == 0 || jobs > 256 || ws_optarg[0] == '-')
                return usage_error("-j \"%s\" is not a number of threads from 1 to 256.", ws_optarg);
            options.jobs = static_cast<unsigned>(jobs);
            break;
        }
        case 'Q': options.sightings = ws_optarg; break;
        case 'R': options.from_sightings = true; break;
        case 'F': options.force = true; break;
        case 'p': options.pairs = ws_optarg; break;
        case 'f': options.frames = ws_optarg; break;
        case 'P':
            if (!is_picture_name(ws_optarg))
                return usage_error("the picture \"%s\" is neither a .svg nor a .png file.", ws_optarg);
            if (std::strchr(ws_optarg, '\n'))
                return usage_error("the picture's name \"%s\" holds a line break, which gnuplot cannot take.",
                                   ws_optarg);
            options.plot = ws_optarg;
            break;
        case 'l': {
            const char *comma = std::strchr(ws_optarg, ',');
            const std::string first = comma ? std::string(ws_optarg, static_cast<size_t>(comma - ws_optarg)) : std::string(ws_optarg);
            if (!read_rate(first.c_str(), &options.line_rates[0]) ||
                !read_rate(comma ? comma + 1 : first.c_str(), &options.line_rates[1]))
                return usage_error("the line rate \"%s\" is not a rate or two: give each as 1G, 2.5G, 10G, 100M, "
                                   "... up to 1000G.",
                                   ws_optarg);
            break;
        }
        case 'd':
            if (!definition_from_name(ws_optarg, &options.definition))
                return usage_error("unknown definition \"%s\": give fifo, lifo, lilo or filo.", ws_optarg);
            break;
        case 'b':
            if (!group_by_from_name(ws_optarg, &options.by))
                return usage_error("unknown grouping \"%s\": give flow, dscp, vlan or protocol.", ws_optarg);
            break;
        case 'S':
            if (!group_order_from_name(ws_optarg, &options.order))
                return usage_error("unknown order \"%s\": give p99, loss, count or max.", ws_optarg);
            break;
        case 'T':
        case 'G': {
            char *end = nullptr;
            errno = 0;
            const unsigned long long count = strtoull(ws_optarg, &end, 10);
            if (errno || end == ws_optarg || *end || count == 0 || count > 100000000 || ws_optarg[0] == '-')
                return usage_error(option == 'T' ? "--top \"%s\" is not a number of groups from 1 to 100000000."
                                                 : "--groups-limit \"%s\" is not a number of groups from 1 to "
                                                   "100000000.",
                                   ws_optarg);
            (option == 'T' ? options.top : options.groups_limit) = static_cast<size_t>(count);
            break;
        }
        case 'I':
            if (!read_duration(ws_optarg, &options.interval_ns))
                return usage_error("--interval takes a length of TAP time such as 10s, 500ms or 1m, from 1 ms to "
                                   "1 day, not \"%s\".", ws_optarg);
            break;
        case 'M': options.metrics = ws_optarg; break;
        case 'N': options.linger = true; break;
        case 'W': options.follow = true; break;
        case 'O': options.interval_log = ws_optarg; break;
        case 'h': return print_help(USAGE);
        case 'v': return print_version(OVINT_VERSION);
        default: return unknown_option();
        }
    }
    if (options.definition != LatencyDefinition::fifo && !options.line_rates[0])
        return usage_error("--definition %s needs each link's rate: give --line-rate.",
                           definition_name(options.definition));
    if (options.by == GroupBy::none && (options.top || options.order != GroupOrder::p99))
        return usage_error("%s", "--top and --sort order the groups of --by: give --by too.");
    if (options.json && options.json_lines)
        return usage_error("%s", "--json and --json-lines are two forms of the report: give one.");
    if (options.sightings && (options.from_sightings || options.pairs || options.frames || options.plot ||
                              options.by != GroupBy::none || options.json || options.json_lines))
        return usage_error("%s", "--sightings only reads and keys the captures' frames: give the report's options "
                                 "to the run with --from-sightings.");
    if (options.metrics && !valid_listen_address(options.metrics))
        return usage_error("--metrics \"%s\" is not [HOST:]PORT, with a port from 1 to 65535.", options.metrics);
    if (options.linger && !options.metrics)
        return usage_error("%s", "--linger serves the metrics on: give --metrics too.");
    if ((options.metrics || options.follow || options.interval_log) && !options.interval_ns)
        options.interval_ns = UINT64_C(10000000000);
    if (options.follow && argc - ws_optind != 1)
        return usage_error("%s", "--follow follows one capture: a file, the name of a ring buffer, or \"-\".");
    if (options.interval_ns && (options.sightings || options.from_sightings || options.json || options.json_lines ||
                                options.pairs || options.frames || options.plot))
        return usage_error("%s", "--interval and --metrics follow the captures as they are read: give them "
                                 "without the report's, the tables' and the sightings' options.");
    if (ws_optind >= argc)
        return usage_error("%s", options.from_sightings ? "give at least one sightings file."
                                                         : "give at least one capture.");
    for (int i = ws_optind; i < argc && options.from_sightings; i++) {
        if (is_standard_stream(argv[i]))
            return usage_error("%s", "sightings files are read twice (checked, then used): give files, not \"-\".");
    }
    for (int i = ws_optind; i < argc; i++)
        options.captures.push_back(argv[i]);
    return -1;
}
