# SPDX-License-Identifier: GPL-2.0-or-later
#
# The Linux kernel as a device between the TAP's two links, in network
# namespaces of its own: a client, the device and a server, joined by veth
# pairs (link 1: client-device, link 2: device-server). Nothing leaves the
# namespaces. Sourced by run.sh, which sets `bed` (a prefix unique to the
# run) and `work` (a folder for the captures).
#
#   device_up MODE [DEPTH_MS]  router, nat, bridge or tunnel (a router
#                              whose way to the server is a VXLAN tunnel
#                              over link 2), its egress queues shaped to
#                              40 Mbit/s holding DEPTH_MS (20)
#   capture_start NAME         tcpdump on both links into NAME.link1.pcap
#                              and NAME.link2.pcap
#   capture_stop               stops them; fails if either dropped a frame
#   traffic                    iperf3, ping, ping -6 (also fragmented),
#                              datagrams to a closed port and curl across
#   closing SECONDS            quiet that long, then pings across
#   device_down                every namespace and process of the bed gone

client_mac=02:00:00:00:01:02  # link 1, the far end from the device
device_mac1=02:00:00:00:01:01
device_mac2=02:00:00:00:02:01
server_mac=02:00:00:00:02:02  # link 2, the far end from the device

pids=()          # every process the bed started and has not waited for
capture_pids=()

in_ns() {  # NAMESPACE COMMAND...
    local ns=$bed-$1
    shift
    ip netns exec "$ns" "$@"
}

# A program in the background, its id (the program's own: ip execs it) in
# `spawned` and among the bed's; its standard error into a file.
spawn() {  # NAMESPACE ERROR_FILE COMMAND...
    local ns=$bed-$1 errors=$2
    shift 2
    ip netns exec "$ns" "$@" >/dev/null 2>"$errors" &
    spawned=$!
    pids+=("$spawned")
}

# Offloads off, so that every capture record is one frame as it crossed
# the link, its checksums computed: no merged segments, no partial sums.
offloads_off() {  # NAMESPACE INTERFACE
    in_ns "$1" ethtool -K "$2" rx off tx off sg off tso off gso off gro off \
        rx-gro-list off rx-udp-gro-forwarding off >/dev/null 2>&1
    local left
    left=$(in_ns "$1" ethtool -k "$2" |
           grep -E '^(tcp-segmentation-offload|generic-segmentation-offload|generic-receive-offload|tx-checksumming|rx-checksumming): on')
    if [ -n "$left" ]; then
        echo "device bed: offloads still on for $2: $left" >&2
        return 1
    fi
}

# A namespace's interface up with a fixed MAC, IPv6 without router
# solicitations or duplicate address detection.
link_up() {  # NAMESPACE INTERFACE MAC
    in_ns "$1" ip link set "$2" address "$3"
    in_ns "$1" sysctl -q -w "net.ipv6.conf.$2.accept_ra=0" "net.ipv6.conf.$2.accept_dad=0" \
        "net.ipv6.conf.$2.router_solicitations=0"
    offloads_off "$1" "$2" || return 1
    in_ns "$1" ip link set "$2" up
}

# A routing device's side of link 1 and the client's, the device its way.
routed_link1() {
    in_ns device sysctl -q -w net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
    in_ns device ip addr add 10.1.0.1/24 dev d1
    in_ns device ip addr add fd00:1::1/64 dev d1 nodad
    in_ns client ip addr add 10.1.0.2/24 dev c0
    in_ns client ip addr add fd00:1::2/64 dev c0 nodad
    in_ns client ip route add default via 10.1.0.1
    in_ns client ip -6 route add default via fd00:1::1
}

# The same of link 2 (the device's interface and the server's given, the
# server's way back through the device unless told `nat`).
routed_link2() {  # DEVICE_INTERFACE SERVER_INTERFACE [nat]
    in_ns device ip addr add 10.2.0.1/24 dev "$1"
    in_ns device ip addr add fd00:2::1/64 dev "$1" nodad
    in_ns server ip addr add 10.2.0.2/24 dev "$2"
    in_ns server ip addr add fd00:2::2/64 dev "$2" nodad
    if [ "${3:-}" != nat ]; then
        in_ns server ip route add default via 10.2.0.1
        in_ns server ip -6 route add default via fd00:2::1
    fi
    server4=10.2.0.2 server6=fd00:2::2
}

device_up() {  # MODE [DEPTH_MS]
    local mode=$1 depth=${2:-20} ns
    for ns in client device server; do
        ip netns add "$bed-$ns" || return 1
        in_ns "$ns" ip link set lo up
    done
    ip link add c0 netns "$bed-client" type veth peer name d1 netns "$bed-device" || return 1
    ip link add d2 netns "$bed-device" type veth peer name s0 netns "$bed-server" || return 1
    link_up client c0 "$client_mac" && link_up device d1 "$device_mac1" &&
        link_up device d2 "$device_mac2" && link_up server s0 "$server_mac" || return 1
    case $mode in
        router | nat)
            routed_link1
            if [ "$mode" = router ]; then
                routed_link2 d2 s0
            else
                routed_link2 d2 s0 nat
                # The server knows no way back to the client's network:
                # only the translation makes the replies come back.
                in_ns device nft -f - <<'NFT' || return 1
table ip bed_nat {
    chain postrouting {
        type nat hook postrouting priority srcnat;
        oifname "d2" masquerade random
    }
}
table ip6 bed_nat {
    chain postrouting {
        type nat hook postrouting priority srcnat;
        oifname "d2" masquerade random
    }
}
NFT
            fi
            ;;
        bridge)
            # The bridge itself stays silent: no address, no spanning
            # tree, no multicast queries.
            in_ns device ip link add br0 type bridge stp_state 0 mcast_snooping 0 || return 1
            in_ns device sysctl -q -w net.ipv6.conf.br0.disable_ipv6=1 net.ipv6.conf.d1.disable_ipv6=1 \
                net.ipv6.conf.d2.disable_ipv6=1
            in_ns device ip link set d1 master br0
            in_ns device ip link set d2 master br0
            in_ns device ip link set br0 up
            in_ns client ip addr add 10.3.0.2/24 dev c0
            in_ns client ip addr add fd00:3::2/64 dev c0 nodad
            in_ns server ip addr add 10.3.0.3/24 dev s0
            in_ns server ip addr add fd00:3::3/64 dev s0 nodad
            server4=10.3.0.3 server6=fd00:3::3
            ;;
        tunnel)
            # Link 2 carries the server's network inside VXLAN: the device
            # adds the tunnel's 50 bytes on the way out and takes them off on
            # the way in. Link 1 takes no more than the tunnel carries, so
            # that the device has nothing to cut into pieces.
            in_ns client ip link set c0 mtu 1450 && in_ns device ip link set d1 mtu 1450
            routed_link1
            in_ns device ip addr add 10.9.0.1/24 dev d2
            in_ns server ip addr add 10.9.0.2/24 dev s0
            local end local_address remote_address
            for end in device server; do
                if [ "$end" = device ]; then local_address=10.9.0.1 remote_address=10.9.0.2
                else local_address=10.9.0.2 remote_address=10.9.0.1; fi
                in_ns "$end" ip link add vx0 type vxlan id 42 local "$local_address" remote "$remote_address" \
                    dstport 4789 dev "$([ "$end" = device ] && echo d2 || echo s0)" || return 1
                in_ns "$end" sysctl -q -w net.ipv6.conf.vx0.accept_ra=0 net.ipv6.conf.vx0.accept_dad=0 \
                    net.ipv6.conf.vx0.router_solicitations=0
                in_ns "$end" ethtool -K vx0 tx off sg off tso off gso off gro off >/dev/null 2>&1
                in_ns "$end" ip link set vx0 up
            done
            routed_link2 vx0 vx0
            ;;
        *) echo "device bed: unknown device mode $mode" >&2; return 1 ;;
    esac
    # The device's egress queues, both ways: 40 Mbit/s, holding DEPTH_MS,
    # for what it forwards. What it sends itself (ARP, neighbour discovery,
    # ICMP errors, answers to pings; not a tunnel's packets, which carry
    # what it forwards) bypasses them, so that their drops are frames that
    # entered it.
    in_ns device nft -f - <<'NFT' || return 1
table arp bed_own {
    chain output {
        type filter hook output priority filter;
        meta priority set 1:10
    }
}
table inet bed_own {
    chain output {
        type filter hook output priority filter;
        udp dport 4789 accept
        meta priority set 1:10
    }
}
NFT
    local ifc
    for ifc in d1 d2; do
        in_ns device tc qdisc add dev "$ifc" root handle 1: htb default 20 &&
            in_ns device tc class add dev "$ifc" parent 1: classid 1:10 htb rate 10gbit &&
            in_ns device tc class add dev "$ifc" parent 1: classid 1:20 htb rate 10gbit &&
            in_ns device tc qdisc add dev "$ifc" parent 1:20 handle 20: tbf rate 40mbit burst 10kb \
                latency "${depth}ms" || return 1
    done
    servers_up
}

# The servers, and a wait until they listen.
servers_up() {
    mkdir -p "$work/www"
    head -c 300000 /dev/urandom >"$work/www/file"
    spawn server /dev/null iperf3 --server --port 5201
    spawn server /dev/null python3 -m http.server --bind :: --directory "$work/www" 8000
    local _
    for _ in $(seq 100); do
        [ "$(in_ns server ss -Hltn 'sport = 5201 or sport = 8000' | wc -l)" -ge 2 ] && return 0
        sleep 0.1
    done
    echo "device bed: the servers did not start listening" >&2
    return 1
}

capture_start() {  # NAME
    local name=$1 ns ifc link
    capture_pids=()
    for link in 1 2; do
        if [ "$link" = 1 ]; then ns=client ifc=c0; else ns=server ifc=s0; fi
        spawn "$ns" "$work/$name.link$link.log" tcpdump -i "$ifc" -Z root -s 0 -B 65536 --immediate-mode \
            --time-stamp-precision=nano -w "$work/$name.link$link.pcap"
        capture_pids+=("$spawned")
    done
    local _
    for _ in $(seq 100); do
        [ "$(grep -l 'listening on' "$work/$name".link?.log 2>/dev/null | wc -l)" = 2 ] && return 0
        sleep 0.05
    done
    echo "device bed: tcpdump did not start" >&2
    return 1
}

capture_stop() {
    local pid status=0 log
    sleep 0.3  # the last frames through the device's queues
    for pid in "${capture_pids[@]}"; do
        stop INT "$pid"
    done
    for log in "$work/$1".link?.log; do
        if ! grep -q '^0 packets dropped by kernel' "$log"; then
            echo "device bed: tcpdump dropped frames: $(grep dropped "$log" | tr '\n' ' ')" >&2
            status=1
        fi
    done
    return $status
}

# A client program, tried again when it fails to start (a server still
# busy with the step before).
from_client() {  # COMMAND...
    local try
    for try in 1 2 3; do
        in_ns client "$@" >/dev/null 2>&1 && return 0
        sleep 0.5
    done
    echo "device bed: failed three times: $*" >&2
    return 1
}

traffic() {
    from_client iperf3 --client "$server4" --connect-timeout 2000 --time 2 &&
        from_client iperf3 --client "$server6" --connect-timeout 2000 --time 2 --reverse &&
        from_client iperf3 --client "$server4" --connect-timeout 2000 --time 2 --udp --bitrate 50M --length 1400 &&
        from_client ping -c 5 -i 0.2 -W 1 "$server4" &&
        from_client ping -6 -c 5 -i 0.2 -W 1 "$server6" &&
        from_client ping -c 3 -i 0.2 -W 1 -s 3000 "$server4" &&
        from_client ping -6 -c 3 -i 0.2 -W 1 -s 3000 "$server6" &&
        from_client bash -c "echo closed >/dev/udp/$server4/9 && echo closed >/dev/udp/$server6/9" &&
        from_client curl -sS -o /dev/null "http://$server4:8000/file" &&
        from_client curl -sS -o /dev/null "http://[$server6]:8000/file"
}

# A quiet spell longer than the window in use, then pings across: both
# links' captures go on past where a partner of any frame before would
# lie, so that a frame dropped at the end is not at the capture's edge.
closing() {  # SECONDS
    sleep "$1" && from_client ping -c 2 -i 0.2 -W 1 "$server4"
}

# What the shaping queue of one of the device's interfaces dropped.
queue_drops() {  # INTERFACE
    in_ns device tc -s qdisc show dev "$1" |
        awk '/^qdisc tbf/ { tbf = 1 } tbf && /dropped/ { sub(/.*dropped /, ""); print $0 + 0; exit }'
}

# The frames the device's kernel dropped while forwarding, by direction as
# "DROPS<tab>FROM → TO": its egress queues' drops (tc), and on the way to
# link 2 the IPv4 packets it could not fragment (FragFails: "don't
# fragment" set), the IPv6 packets too big for link 2 (Ip6InTooBigErrors)
# and the pieces never sent after a dropped one. Every counter besides
# into NAME.counters, for a run that disagrees.
kernel_drops() {  # NAME
    local toward2 toward1 snmp snmp6
    toward2=$(queue_drops d2)
    toward1=$(queue_drops d1)
    snmp=$(in_ns device awk '/^Ip: [0-9]/ { print $19 }' /proc/net/snmp)  # FragFails
    snmp6=$(in_ns device awk '$1 == "Ip6InTooBigErrors" { print $2 }' /proc/net/snmp6)
    # A translator gathers a packet's pieces and cuts it again; when the
    # queue drops a piece, the pieces after it are never sent (the packet
    # counts as a failure, each piece sent as created; a packet too big to
    # forward counts as a failure too). Every IPv6 packet in pieces here is
    # a ping of 3,000 bytes, in three, sent toward link 2.
    local cut_whole cut_failed created
    read -r cut_whole cut_failed created < <(in_ns device awk '{ n[$1] = $2 }
        END { print n["Ip6FragOKs"] + 0, n["Ip6FragFails"] - n["Ip6InTooBigErrors"], n["Ip6FragCreates"] + 0 }' \
        /proc/net/snmp6)
    local never_sent=$((3 * (cut_whole + cut_failed) - created - cut_failed))
    printf '%s\tCon A → Con C\n%s\tCon D → Con B\n' "$((toward2 + snmp + snmp6 + never_sent))" "$toward1" >"$work/$1.drops"
    { in_ns device nstat -az; for ns in client device server; do in_ns "$ns" ip -s -s link; done
      in_ns device tc -s qdisc; cat /proc/net/softnet_stat; } >"$work/$1.counters" 2>&1
}

# Ends one of the bed's processes by its id, if the shell still knows it
# as running (an id it has reaped may be another process's by now), and
# waits for it.
stop() {  # SIGNAL PID
    if jobs -rp | grep -qx "$2"; then
        kill "-$1" "$2" 2>/dev/null
    fi
    wait "$2" 2>/dev/null
    local -a left=()
    local pid
    for pid in "${pids[@]}"; do
        [ "$pid" = "$2" ] || left+=("$pid")
    done
    pids=("${left[@]}")
}

device_down() {
    local pid ns
    for pid in "${pids[@]}"; do
        stop TERM "$pid"
    done
    for ns in client device server; do
        ip netns del "$bed-$ns" 2>/dev/null
    done
    return 0
}
