#!/usr/bin/env bash
# The install rules, tried in a prefix of the test's own: the program, its desktop entry (which
# must validate and name what was installed), its icon and the credits of its images.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
if ! command -v desktop-file-validate >/dev/null; then
    echo "desktop-file-validate is missing: bash scripts/install-deps.sh --tests" >&2
    exit 77
fi
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
desktop=$prefix/share/applications/quorvale.desktop
[ -x "$prefix/bin/quorvale" ] || fail "bin/quorvale missing or not executable"
[ -f "$desktop" ] || fail "share/applications/quorvale.desktop missing"
desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$prefix/bin/$exec_name" ] || fail "Exec=$exec_name is not the installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
png=$prefix/share/icons/hicolor/32x32/apps/$icon.png
svg=$prefix/share/icons/hicolor/scalable/apps/$icon.svg
# A PNG's width and height are the big-endian words at bytes 16 and 20.
[ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "$png is not a PNG"
[ "$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ')" = " 0 0 0 32 0 0 0 32" ] ||
    fail "$png is not 32x32"
grep -q "<svg" "$svg" || fail "$svg is not an SVG image"
credits=$(find "$prefix/share/doc" -name CREDITS)
[ -n "$credits" ] && grep -q "Tango" "$credits" && grep -q "famfamfam" "$credits" ||
    fail "the image credits were not installed"
echo "installed and checked in a temporary prefix"
