// SPDX-License-Identifier: GPL-2.0-or-later
//
// Where the host enters ovint: the four symbols its plug-in loader looks up,
// the plug-in record, and the register and hand-off routines.

// Build the exports as exports (dllexport on Windows), as the host's own
// plug-ins do.
#define WS_BUILD_DLL

#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto.h>
#include <epan/tap.h>
#include <ws_symbol_export.h>
#include <ws_version.h>

#include "ovint_private.h"

// Declared in a block first and defined outside it: a const defined inside
// an extern "C" block would get internal linkage and not be exported.
extern "C" {
WS_DLL_PUBLIC const char plugin_version[];
WS_DLL_PUBLIC const int plugin_want_major;
WS_DLL_PUBLIC const int plugin_want_minor;
WS_DLL_PUBLIC void plugin_register(void);
#if OVINT_HOST_ASKS_PLUGIN_KIND
WS_DLL_PUBLIC uint32_t plugin_describe(void);
#endif
}

const char plugin_version[] = OVINT_VERSION;
// The host loads only plug-ins built for its own release series.
const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

dissector_handle_t eth_withoutfcs_handle = NULL;
int handoff_done = 0;

static gint *ett_array[] = {&ett_ovint};

// The host keeps the records' addresses for the life of the module.
static proto_plugin ovint_plugin;
static tap_plugin ovint_tap_plugin;

void plugin_register(void)
{
    ovint_plugin.register_protoinfo = proto_register_ovint;
    ovint_plugin.register_handoff = proto_reg_handoff_ovint;
    proto_register_plugin(&ovint_plugin);
    ovint_tap_plugin.register_tap_listener = register_ovint_stats_tree;
    tap_register_plugin(&ovint_tap_plugin);
}

#if OVINT_HOST_ASKS_PLUGIN_KIND
// Lets the host list ovint as a dissector wherever it is installed.
uint32_t plugin_describe(void)
{
    return WS_PLUGIN_DESC_DISSECTOR;
}
#endif

extern "C" void proto_register_ovint(void)
{
    proto_ovint = proto_register_protocol("BRAXEL TAP VESTRIL trailer", "ovint", "ovint");

    // Kept so that preference files from earlier releases still load silently.
    module_t *ovint_module = prefs_register_protocol(proto_ovint, proto_reg_handoff_ovint);
    prefs_register_obsolete_preference(ovint_module, "enable");
    register_latency_preferences(ovint_module);

    proto_register_field_array(proto_ovint, hf_array, FIELD_COUNT);
    proto_register_subtree_array(ett_array, G_N_ELEMENTS(ett_array));
    register_expert_entries();

    register_dissector("ovint", dissect_ovint, proto_ovint);
    ovint_tap = register_tap("ovint");

    // A new capture must not be timed against the last one's reference.
    register_init_routine(drop_hw_reference);
    register_cleanup_routine(drop_hw_reference);
    register_init_routine(start_latency_tables);
    register_cleanup_routine(free_latency_tables);
}

// Also the preference module's apply routine: only the first call acts.
extern "C" void proto_reg_handoff_ovint(void)
{
    check_latency_window();
    if (handoff_done)
        return;
    eth_withoutfcs_handle = find_dissector_add_dependency("eth_withoutfcs", proto_ovint);
    heur_dissector_add("eth", dissect_ovint_heur, "BRAXEL TAP VESTRIL trailer over Ethernet",
                       "ovint_eth", proto_ovint, HEURISTIC_ENABLE);
    handoff_done = 1;
}
