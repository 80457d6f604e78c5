#!/usr/bin/env bash
# The program as a user runs it, cut off from every network: in a network and mount namespace of
# its own (only the loopback device, and a hosts file that names the central server's default
# host 127.0.0.1), the fake central server listens on the real port, 2242; the program built in
# BUILD (default build/test) starts on a virtual X display with a user name in its store file,
# logs in and reports its listening ports; a screenshot of its window is kept in
# BUILD/artifacts/; SIGTERM ends it with exit status 0 and a store file that loads again. Then the
# window's pages, filled one by one by a test program (tests/shell/pageshots.cpp) on the same
# display, are kept there as screenshots too, one check each.
#   scripts/system-check.sh [BUILD]
# Needs root (or unprivileged user namespaces) for the namespace; .ci/run runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/test}")

if [ "${QV_SYSTEM_CHECK_INSIDE:-}" != 1 ]; then
    as_root=()
    [ "$(id -u)" = 0 ] || as_root=(--user --map-root-user)
    exec unshare "${as_root[@]}" --net --mount env QV_SYSTEM_CHECK_INSIDE=1 bash "$0" "$build"
fi

passed=0
failed=0
pids=()
work=$(mktemp -d)
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

check() { # check NAME COMMAND...: one line per check, counted
    if "${@:2}"; then
        echo "ok $1"
        passed=$((passed + 1))
    else
        echo "FAIL $1"
        failed=$((failed + 1))
    fi
}
finish() {
    echo "system check: $passed passed, $failed failed"
    [ "$failed" = 0 ]
    exit
}
# Waits up to $2 seconds for the text $3 in the file $1.
wait_for_text() {
    local deadline=$((SECONDS + $2))
    until grep -q "$3" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# The namespace: loopback only, and the server's default host on it.
ip link set lo up
host=$(sed -n 's/^QV_SERVER_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
printf '127.0.0.1 localhost %s\n' "$host" >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts
check "only the loopback device in the namespace" \
    test "$(ip -o link show | grep -vc ': lo:')" = 0
check "$host resolves to 127.0.0.1" \
    bash -c "getent hosts '$host' | grep -q '^127.0.0.1 '"

helper=$build/tests/shell_systemcheck
client=$build/src/quorvale
artifacts=$build/artifacts
mkdir -p "$artifacts" "$work/home"
export HOME=$work/home XDG_RUNTIME_DIR=$work/home QT_QPA_PLATFORM=xcb
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# What the system's own libraries keep until exit is theirs, not ours.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-system.supp:print_suppressions=0"

user=system-check
chmod 700 "$HOME"
check "store file seeded" "$helper" seed "$HOME/.Quorvale" "$user"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for_text "$work/display" 20 '[0-9]' || { echo "FAIL Xvfb did not start"; finish; }
export DISPLAY=:$(tr -d '\n' <"$work/display")

"$helper" serve 2242 "$user" 60 >"$work/server.log" 2>&1 &
server=$!
pids+=("$server")
wait_for_text "$work/server.log" 20 '^ready' || { cat "$work/server.log"; finish; }

"$client" >"$work/client.log" 2>&1 &
program=$!
pids+=("$program")
if wait_for_text "$work/server.log" 60 '^logged in'; then
    # The window has had the time to draw itself by the end of the login.
    sleep 2
    check "screenshot" "$helper" screenshot "$artifacts/system-check.png"
fi
kill -TERM "$program" 2>/dev/null || true
status=0
wait "$program" || status=$?
check "the program exits 0 on SIGTERM" test "$status" = 0
wait "$server" || true
grep -E '^(ok|FAIL) ' "$work/server.log" | sed 's/^/server: /'
passed=$((passed + $(grep -c '^ok ' "$work/server.log" || true)))
failed=$((failed + $(grep -c '^FAIL ' "$work/server.log" || true)))
check "the saved store file loads" "$helper" verify "$HOME/.Quorvale" "$user"
if [ "$failed" != 0 ]; then
    echo "--- the program's output:"
    cat "$work/client.log"
fi

# The window's pages on the same display: one function of the screenshot program per page, each
# a check, its picture kept as artifacts/<page>.png (it fails when a part of it is one flat colour).
pageshots=$build/tests/shell_pageshots
pages=$("$pageshots" -functions 2>/dev/null | sed -n 's/^\([A-Za-z0-9_]*\)()$/\1/p' || true)
check "the page screenshot program lists its pages" test -n "$pages"
"$pageshots" -o "$work/pageshots.txt,txt" >"$work/pageshots.log" 2>&1 || true
shots_failed=$failed
for page in $pages; do
    check "page $page: $artifacts/$page.png" \
        grep -q "^PASS   : tst_PageShots::$page()" "$work/pageshots.txt"
done
if [ "$failed" != "$shots_failed" ]; then
    echo "--- the page screenshots:"
    grep -v '^PASS\|^QWARN\|^QDEBUG' "$work/pageshots.txt" "$work/pageshots.log" || true
fi
finish
