#!/usr/bin/env bash
# The dependency guard against this build tree: the install list as it is passes; with one
# package taken out of a copy of it, the guard fails and names that package, and only that one.
#   check_deps_test.sh BUILD_DIR
set -uo pipefail
build=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
guard=$repo/scripts/check-deps.sh
list=$repo/scripts/install-deps.sh
if ! command -v dpkg-query >/dev/null || ! command -v apt-cache >/dev/null; then
    echo "SKIP: the guard maps files to Debian packages; this machine has no dpkg or apt"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

output=$(bash "$guard" "$build" 2>&1)
status=$?
if [ "$status" = 2 ]; then
    echo "SKIP: this machine cannot tell: $output"
    exit 77
fi
[ "$status" = 0 ] || fail "the install list as it is: exit $status
$output"

# package <TAB> what of the build or the tests comes from it
rows=(
    $'tango-icon-theme\tthe icons the resource list names'
    $'lame\ta program the MP3 tests run'
    $'libminiupnpc-dev\ta header the build reads'
)
for row in "${rows[@]}"; do
    package=${row%%$'\t'*}
    copy=$work/install-deps-without-$package.sh
    # Out of the list only, not out of the comments around it.
    sed -E "/^[[:space:]]*#/!s/(^|[[:space:](])$package([[:space:])]|\$)/\1\2/" "$list" >"$copy"
    if cmp -s "$list" "$copy"; then
        fail "$package is not in $list"
        continue
    fi
    output=$(QV_INSTALL_DEPS=$copy bash "$guard" "$build" 2>&1)
    status=$?
    named=$(sed -n 's/^  \([^ ]*\) (.*/\1/p' <<<"$output")
    if [ "$status" != 1 ] || [ "$named" != "$package" ]; then
        fail "without $package (${row#*$'\t'}): exit $status, named: ${named:-nothing}
$output"
    else
        echo "ok without $package: $(grep "^  $package " <<<"$output")"
    fi
done
exit $failed
