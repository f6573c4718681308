# Sourced by the scripts that run programs against the test servers.
# in_private_network SCRIPT ARGS...: unless already inside, runs SCRIPT ARGS
# again in a private network namespace with loopback up, so that the servers
# get the fixed ports 25 and 119 and nothing leaves the machine. Root uses a
# plain network namespace, anyone else one with a user namespace too.
in_private_network() {
    [ -n "$QUILLEX_IN_NETNS" ] && return 0
    if [ "$(id -u)" = 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
    QUILLEX_IN_NETNS=1 exec $ns sh -c 'ip link set lo up && exec "$0" "$@"' "$@"
}
