# Two network namespaces joined by a veth pair, for rigs that multicast:
# nothing they send can reach the machine's own interfaces. Source this file.
#
#   netns_require            exits 0 with SKIP unless root with iproute2
#   netns_setup TAG          makes $NS_SIM (198.51.100.2) and $NS_HOST
#                            (198.51.100.1), lo up in both, and an nftables
#                            guard on the default interface's egress that
#                            drops multicast and broadcast while the rig runs
#   netns_cleanup            removes both namespaces and the guard; call it
#                            from the rig's EXIT trap
#   netns_guard_hits         packets the guard has dropped so far
#
# Other addresses of 198.51.100.0/24 may be added in the namespaces with
# `ip -n "$NS_SIM" addr add ...`; devices are "$NS_SIM_DEV" and "$NS_HOST_DEV".

NS_SIM="" NS_HOST="" NS_GUARD="" NS_SIM_DEV="" NS_HOST_DEV=""

netns_require() {
    if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
        echo "SKIP: needs root and iproute2 for network namespaces"
        exit 0
    fi
}

netns_setup() {
    local tag="$1" uplink
    NS_SIM="${tag}s" NS_HOST="${tag}h" NS_GUARD="${tag}_guard"
    NS_SIM_DEV="${tag}a" NS_HOST_DEV="${tag}b"
    uplink=$(ip -o route show default 2>/dev/null | awk '{print $5; exit}')
    if [ -n "$uplink" ] && command -v nft >/dev/null; then
        nft -f - <<NFT || echo "note: egress guard not available on this kernel" >&2
table netdev $NS_GUARD {
    chain out {
        type filter hook egress device "$uplink" priority 0; policy accept;
        ip daddr 224.0.0.0/4 counter drop
        ip daddr 255.255.255.255 counter drop
        ip daddr 198.51.100.255 counter drop
    }
}
NFT
    fi
    ip netns add "$NS_SIM"
    ip netns add "$NS_HOST"
    ip link add "$NS_SIM_DEV" type veth peer name "$NS_HOST_DEV"
    ip link set "$NS_SIM_DEV" netns "$NS_SIM"
    ip link set "$NS_HOST_DEV" netns "$NS_HOST"
    ip -n "$NS_SIM" addr add 198.51.100.2/24 dev "$NS_SIM_DEV"
    ip -n "$NS_HOST" addr add 198.51.100.1/24 dev "$NS_HOST_DEV"
    ip -n "$NS_SIM" link set lo up
    ip -n "$NS_HOST" link set lo up
    ip -n "$NS_SIM" link set "$NS_SIM_DEV" up
    ip -n "$NS_HOST" link set "$NS_HOST_DEV" up
}

netns_cleanup() {
    [ -n "$NS_SIM" ] && ip netns del "$NS_SIM" 2>/dev/null
    [ -n "$NS_HOST" ] && ip netns del "$NS_HOST" 2>/dev/null
    [ -n "$NS_GUARD" ] && nft delete table netdev "$NS_GUARD" 2>/dev/null
    return 0
}

netns_guard_hits() {
    nft list table netdev "$NS_GUARD" 2>/dev/null |
        awk '{for (i = 1; i < NF; i++) if ($i == "packets") n += $(i + 1)} END {print n + 0}'
}
