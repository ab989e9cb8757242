// SPDX-License-Identifier: GPL-2.0-or-later
//
// What differs between the host releases ovint is built for (3.2 to 4.6),
// as named shims. The rest of the module never tests a host version.

#ifndef OVINT_HOST_COMPAT_H
#define OVINT_HOST_COMPAT_H

#include <epan/packet.h>
#include <ws_version.h>

#include <type_traits>

#define OVINT_HOST_AT_LEAST(major, minor)                                                        \
    (WIRESHARK_VERSION_MAJOR > (major) ||                                                        \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

// 4.4: heuristics return bool instead of gboolean.
using ovint_heur_result_t =
    std::invoke_result_t<heur_dissector_t, tvbuff_t *, packet_info *, proto_tree *, void *>;

// 4.4: tvb_get_guint8 is deprecated in favour of tvb_get_uint8.
static inline guint8 ovint_get_uint8(tvbuff_t *tvb, gint offset)
{
#if OVINT_HOST_AT_LEAST(4, 4)
    return tvb_get_uint8(tvb, offset);
#else
    return tvb_get_guint8(tvb, offset);
#endif
}

// 3.6: tap listeners, statistics trees among them, also get the tap's flags.
#if OVINT_HOST_AT_LEAST(3, 6)
#define OVINT_TAP_FLAGS_PARAM , tap_flags_t
#else
#define OVINT_TAP_FLAGS_PARAM
#endif

// 4.4: a statistics tree's menu levels are separated by "//"
// (STATS_TREE_MENU_SEPARATOR); before, by "/". Include <epan/stats_tree.h>
// first.
#if OVINT_HOST_AT_LEAST(4, 4)
#define OVINT_STATS_MENU(submenu, item) submenu STATS_TREE_MENU_SEPARATOR item
#else
#define OVINT_STATS_MENU(submenu, item) submenu "/" item
#endif

// 4.4: the loader asks a plug-in what kind it is; before, the folder said.
#if OVINT_HOST_AT_LEAST(4, 4)
#include <wsutil/plugins.h>
#define OVINT_HOST_ASKS_PLUGIN_KIND 1
#else
#define OVINT_HOST_ASKS_PLUGIN_KIND 0
#endif

// From 4.4 the host can tell conversations apart by the capture interface
// a frame came on (a preference, off by default).
#if OVINT_HOST_AT_LEAST(4, 4)
#define OVINT_HOST_DEINTERLACES_BY_INTERFACE(prefs) (((prefs).conversation_deinterlacing_key & CONV_DEINT_KEY_INTERFACE) != 0)
#else
#define OVINT_HOST_DEINTERLACES_BY_INTERFACE(prefs) false
#endif

#endif // OVINT_HOST_COMPAT_H
