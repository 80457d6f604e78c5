#!/usr/bin/env bash
# Runs the real-gateway UPnP test (the program given as $1) inside network namespaces with a real
# UPnP gateway, made by the shared upnp-gateway tool, and takes them down on every way out.
# Not root: skipped (exit 77). Root, but the tool or a package it needs is missing: a failure.
set -u
binary=${1:?usage: upnpgateway_test.sh TEST-PROGRAM}
repo=$(cd "$(dirname "$0")/../.." && pwd)

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the real-gateway UPnP test needs root to make its network namespaces"
    exit 77
fi

# shared/ lies beside the repository (a worktree sits one folder deeper); a clone made elsewhere
# finds it where our machines keep it.
tool=
for dir in "${QV_SHARED_DIR:-}" "$repo/../shared" "$repo/../../shared" /work/shared; do
    if [ -n "$dir" ] && [ -f "$dir/tools/upnp-gateway" ]; then
        tool=$(cd "$dir/tools" && pwd)/upnp-gateway
        break
    fi
done
if [ -z "$tool" ]; then
    echo "FAIL: shared/tools/upnp-gateway not found beside $repo"
    exit 1
fi
PATH=$PATH:/usr/sbin:/sbin
for command in ip nft miniupnpd upnpc; do
    if ! command -v "$command" >/dev/null; then
        echo "FAIL: $command is missing (bash scripts/install-deps.sh --tests installs it)"
        exit 1
    fi
done

# miniupnpd keeps one pid file for the whole machine, so two gateways started at once (two
# builds testing side by side) refuse each other: one gateway at a time.
mkdir -p /run/lock
exec 9>/run/lock/quorvale-upnp-gateway.lock
flock -w 600 9 || { echo "FAIL: another UPnP gateway test held the lock for ten minutes"; exit 1; }
# A gateway killed before it could clean up leaves its pid file; once that pid is reused, a new
# gateway believes an old one still runs. With the lock held, no other test's gateway is running.
pidfile=/run/miniupnpd.pid
if [ -f "$pidfile" ] && ! grep -qsx miniupnpd "/proc/$(cat "$pidfile")/comm"; then
    rm -f "$pidfile"
fi

# Unique per run; interface names are NAME-g0, at most 15 characters.
name=qvu$(( $$ % 1000000 ))
stop() { bash "$tool" stop "$name" >/dev/null 2>&1 || true; }
trap stop EXIT
trap 'exit 1' INT TERM
bash "$tool" start "$name" || exit 1
# The library parses HTTP headers with strtol on a buffer that holds no NUL after them; the
# address checker's strict string mode reports every such call. The rest of its checks stay on.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}strict_string_checks=0"
ip netns exec "$name-lan" env QV_UPNP_GATEWAY="$name" QV_UPNP_GATEWAY_TOOL="$tool" "$binary"
