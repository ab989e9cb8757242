// SPDX-License-Identifier: GPL-2.0-or-later

#include "command_line.h"

#include "capture_io/program_shell.h"
#include "plot.h"

#include <wsutil/ws_getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    "  -j, --json             the report as JSON\n"
    "  -p, --pairs FILE       one CSV row per match (.gz: compressed; \"-\": on\n"
    "                         standard output, the report then on standard error)\n"
    "  -f, --frames FILE      one CSV row per trailer-bearing frame (likewise)\n"
    "  -l, --line-rate RATE   1G, 10G, 25G, 40G or 100G: bursts as the bits on the\n"
    "                         wire at that rate, frames at a window's edges in\n"
    "                         part, and as a share of the line (without it: the\n"
    "                         bytes of the frames that start in a window)\n"
    "  -P, --plot FILE        per direction, the latency histogram and the latency\n"
    "                         over TAP time, drawn by gnuplot (.svg or .png)\n"
    "      --force            replace existing tables and pictures\n"
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
        {"json", ws_no_argument, nullptr, 'j'},        {"pairs", ws_required_argument, nullptr, 'p'},
        {"frames", ws_required_argument, nullptr, 'f'}, {"line-rate", ws_required_argument, nullptr, 'l'},
        {"plot", ws_required_argument, nullptr, 'P'},  {"force", ws_no_argument, nullptr, 'F'},
        {"help", ws_no_argument, nullptr, 'h'},        {"version", ws_no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = ws_getopt_long(argc, argv, "k:w:c:jp:f:l:P:hv", long_options, nullptr)) != -1) {
        switch (option) {
        case 'k':
            if (!key_mode_from_name(ws_optarg, &options.key) || options.key == KeyMode::off)
                return usage_error("unknown key \"%s\": give frame, ip, nat or payload.", ws_optarg);
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
        case 'j': options.json = true; break;
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
            static const struct {
                const char *name;
                uint64_t bps;
            } rates[] = {{"1G", 1000000000ull}, {"10G", 10000000000ull}, {"25G", 25000000000ull},
                         {"40G", 40000000000ull}, {"100G", 100000000000ull}};
            options.line_rate = 0;
            for (const auto &rate : rates) {
                if (std::strcmp(ws_optarg, rate.name) == 0)
                    options.line_rate = rate.bps;
            }
            if (!options.line_rate)
                return usage_error("unknown line rate \"%s\": give 1G, 10G, 25G, 40G or 100G.", ws_optarg);
            break;
        }
        case 'h': return print_help(USAGE);
        case 'v': return print_version(OVINT_VERSION);
        default: return unknown_option();
        }
    }
    if (ws_optind >= argc)
        return usage_error("%s", "give at least one capture.");
    for (int i = ws_optind; i < argc; i++)
        options.captures.push_back(argv[i]);
    return -1;
}
