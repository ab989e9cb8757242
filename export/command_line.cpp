// SPDX-License-Identifier: GPL-2.0-or-later

#include "command_line.h"

#include "capture_io/program_shell.h"

#include <wsutil/ws_getopt.h>

#include <cstdio>
#include <cstring>

static const char USAGE[] =
    "Usage: ovint-export [OPTION]... IN OUT\n"
    "Writes the capture IN, taken through a BRAXEL TAP VESTRIL, to OUT as pcapng:\n"
    "TAP trailers removed, frames timed from the TAP clock as Wireshark with ovint\n"
    "times them, one interface per TAP port (or link), the TAP's error flags as\n"
    "packet flags.\n"
    "IN or OUT \"-\" is standard input or output. OUT is put in place only when\n"
    "complete (through a symbolic link, into the file it leads to), or written in\n"
    "place when a FIFO or a device; it is never IN.\n"
    "\n"
    "  -k, --keep-trailers  keep the trailers in the frames\n"
    "  -t, --tap-clock      write the TAP clock itself as each frame's time\n"
    "  -l, --interface-per-link\n"
    "                       one interface per TAP link (Con A and Con B, Con C and\n"
    "                       Con D), not per port: Wireshark 4.4 and later then tell\n"
    "                       a frame's two sightings apart in TCP's analysis\n"
    "                       (conversation deinterlacing by MAC and interface)\n"
    "  -f, --force          overwrite OUT if it is an existing file\n"
    "  -q, --quiet          no summary on standard error\n"
    "  -j, --json           the summary as JSON on standard output\n"
    "  -h, --help           this text\n"
    "  -v, --version        ovint's version and the Wireshark it was built for\n"
    "\n"
    "Exit status: 0 exported; 1 error, OUT not written; 2 wrong command line (OUT\n"
    "that is IN among them); 3 IN cut off or damaged, the frames before the\n"
    "damage written to OUT; 4 OUT written but not the summary. A signal that ends\n"
    "the export leaves OUT as it was and ends it by that signal.\n";

int parse_command_line(int argc, char **argv, Options &options)
{
    static const struct ws_option long_options[] = {
        {"keep-trailers", ws_no_argument, nullptr, 'k'},
        {"tap-clock", ws_no_argument, nullptr, 't'},
        {"interface-per-link", ws_no_argument, nullptr, 'l'},
        {"force", ws_no_argument, nullptr, 'f'},
        {"quiet", ws_no_argument, nullptr, 'q'},
        {"json", ws_no_argument, nullptr, 'j'},
        {"help", ws_no_argument, nullptr, 'h'},
        {"version", ws_no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = ws_getopt_long(argc, argv, "ktlfqjhv", long_options, nullptr)) != -1) {
        switch (option) {
        case 'k': options.keep_trailers = true; break;
        case 't': options.tap_clock = true; break;
        case 'l': options.interface_per_link = true; break;
        case 'f': options.force = true; break;
        case 'q': options.quiet = true; break;
        case 'j': options.json = true; break;
        case 'h': return print_help(USAGE);
        case 'v': return print_version(OVINT_VERSION);
        default: return unknown_option();
        }
    }
    if (argc - ws_optind != 2) {
        say("give an input and an output file (--help tells more).");
        return EXIT_USAGE;
    }
    options.in = argv[ws_optind];
    options.out = argv[ws_optind + 1];
    return -1;
}
