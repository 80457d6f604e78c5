#!/usr/bin/env bash
# Fails when the build, the program or the tests take something from a Debian package that a new
# machine would not get from scripts/install-deps.sh --tests, and names every such package.
#   scripts/check-deps.sh [BUILD]      BUILD: a built Ninja tree (default build/test)
# What is taken from outside the checkout: the headers the compilers read (ninja -t deps), the
# inputs of every build step (the images the resource lists name, the libraries linked, moc and
# its kin, CMake's own modules), the files the install rules copy, the compilers and tools CMake
# found, the libraries the program and its display plugins load, and the programs the scripts
# and the tests run (below). Each file is mapped to the packages owning it and every link on its
# way (dpkg -S); a package counts as installed when the list names it, when it is Essential, or
# when one of those depends on it, recursively (the first choice of each "a | b", as apt takes).
# Exit status 1: packages are missing from the list, or files come from no package;
# 2: this machine cannot tell (not built, or a program below is not installed).
# QV_INSTALL_DEPS names another install script to read the list from (the guard's own test
# takes packages out of a copy).
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
repo=$PWD
build=$(realpath "${1:-build/test}")
install_script=${QV_INSTALL_DEPS:-scripts/install-deps.sh}

# The programs the scripts and the tests run, beyond the shell's own tools (coreutils, grep, sed,
# findutils and util-linux are Essential). apt-get, which does the installing, is not listed.
programs=(
    bash cmake ctest ninja # the README's two commands
    unshare ip mount getent Xvfb timeout # system-check.sh, .ci/run; tests/shell/tst_clientprocess
    nft miniupnpd upnpc flock # tests/server/upnpgateway_test.sh and the gateway tool
    desktop-file-validate # tests/shell/install_test.sh
    lame # the MP3 files of tests/support/EncodedAudio.h
    clang clang++ # scripts/fuzz.sh
)

cannot() {
    echo "check-deps: $*" >&2
    exit 2
}
[ -f "$build/.ninja_deps" ] || cannot "$build is not a built Ninja tree"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Absolute paths outside the checkout and the build tree, existing files only.
outside() {
    awk -v repo="$repo/" -v build="$build/" \
        '/^\// && index($0, repo) != 1 && index($0, build) != 1' | sort -u |
        while IFS= read -r f; do [ ! -f "$f" ] || printf '%s\n' "$f"; done
}

{
    ninja -C "$build" -t deps | sed -n 's/^    //p'
    ninja -C "$build" -t inputs all build.ninja
    find "$build" -name cmake_install.cmake -exec cat {} + | grep -o '"/[^"$]*"' | tr -d '"' ||
        true
    sed -nE 's/^(CMAKE_[A-Z_]+|PKG_CONFIG_EXECUTABLE):(FILEPATH|INTERNAL)=(\/.*)$/\3/p' \
        "$build/CMakeCache.txt"
} | outside >"$work/built"
[ -s "$work/built" ] || cannot "nothing in $build was read from outside the checkout"

absent=()
{
    cat "$work/built"
    PATH=$PATH:/usr/sbin:/sbin
    for p in "${programs[@]}"; do
        command -v "$p" || absent+=("$p")
    done
    # What scripts/fuzz.sh links its targets with.
    if command -v clang++ >/dev/null; then
        echo "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a"
    fi
    # The libraries the program loads, and the display plugins it runs on in the tests and in
    # the system check, with theirs.
    client=$build/src/quorvale
    if [ -x "$client" ]; then
        ldd "$client" >"$work/ldd"
        plugins=$(sed -n 's|.* => \(/.*\)/libQt6Gui\.so.*|\1/qt6/plugins/platforms|p' "$work/ldd")
        for plugin in "$plugins"/libqoffscreen.so "$plugins"/libqxcb.so; do
            [ -f "$plugin" ] || cannot "the display plugin $plugin is missing"
            echo "$plugin"
            ldd "$plugin" >>"$work/ldd"
        done
        sed -nE 's/.* => (\/[^ ]*) .*/\1/p; s/^[[:space:]]+(\/[^ ]*) .*/\1/p' "$work/ldd"
    fi
} >"$work/taken.raw"
[ ${#absent[@]} = 0 ] ||
    cannot "not installed here: ${absent[*]} (bash scripts/install-deps.sh --tests)"
outside <"$work/taken.raw" >"$work/taken"

# Every link on the way from each file to what it finally is: "file<TAB>path" pairs. Relative
# link targets are made absolute and "." and ".." taken out, since dpkg knows clean paths only.
awk '{ print $0 "\t" $0 }' "$work/taken" >"$work/chain"
cp "$work/chain" "$work/level"
for _ in 1 2 3 4 5 6 7 8; do
    cut -f2 "$work/level" | sort -u | xargs -r -d '\n' sh -c \
        'find "$@" -maxdepth 0 -type l -printf "%p\t%l\n"' sh >"$work/links" 2>/dev/null || true
    [ -s "$work/links" ] || break
    awk -F'\t' '
        function clean(p,   n, i, part, out, k) {
            n = split(p, part, "/"); k = 0
            for (i = 1; i <= n; i++) {
                if (part[i] == "" || part[i] == ".") continue
                if (part[i] == "..") { if (k > 0) k--; continue }
                out[++k] = part[i]
            }
            p = ""
            for (i = 1; i <= k; i++) p = p "/" out[i]
            return p
        }
        FNR == NR {
            target = $2
            if (target !~ /^\//) { dir = $1; sub(/\/[^\/]*$/, "", dir); target = dir "/" target }
            to[$1] = clean(target); next
        }
        ($2 in to) { print $1 "\t" to[$2] }' "$work/links" "$work/level" >"$work/next"
    cat "$work/next" >>"$work/chain"
    mv "$work/next" "$work/level"
done
xargs -r -d '\n' realpath -e -- <"$work/taken" | paste "$work/taken" - >>"$work/chain"
# /bin, /sbin and /lib are links into /usr: a package may name a file by either spelling.
awk -F'\t' '{ print; p = $2
    if (p ~ /^\/usr\/(s?bin|lib[^\/]*)\//) { sub(/^\/usr/, "", p); print $1 "\t" p }
    else if (p ~ /^\/(s?bin|lib[^\/]*)\//) print $1 "\t/usr" p }' "$work/chain" |
    sort -u >"$work/spellings"

# Who owns each path. Lines read "pkg[:arch][, pkg...]: path"; diversions are no owners.
cut -f2 "$work/spellings" | sort -u | xargs -r -d '\n' dpkg -S 2>/dev/null |
    grep -v '^diversion by ' >"$work/owners" || true
awk -F'\t' '
    FNR == NR {
        i = index($0, ": "); path = substr($0, i + 2)
        n = split(substr($0, 1, i - 1), pkg, ", ")
        for (k = 1; k <= n; k++) { sub(/:.*/, "", pkg[k]); owner[path] = owner[path] " " pkg[k] }
        next
    }
    ($2 in owner) { n = split(owner[$2], pkg, " "); for (k = 1; k <= n; k++) print pkg[k] "\t" $1
                    owned[$1] = 1 }
    { seen[$1] = 1 }
    END { for (f in seen) if (!(f in owned)) print "-\t" f }' "$work/owners" "$work/spellings" |
    sort -u >"$work/needed"

# What a new machine gets: the list, the Essential packages, and what they depend on.
bash "$install_script" --list --tests >"$work/listed"
dpkg-query -W -f '${Package} ${Essential}\n' | awk '$2 == "yes" { print $1 }' >>"$work/listed"
xargs apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances <"$work/listed" >"$work/depends" 2>"$work/apt.log" ||
    cannot "apt-cache depends failed: $(head -3 "$work/apt.log")"
awk '
    # apt-cache prints each package once, then its relations: "  Depends: x" ends a group of
    # choices, " |Depends: x" is followed by another choice; "<x>" is a virtual name, and the
    # lines indented further under a relation are the packages that provide it.
    function name(s) { gsub(/[<>]/, "", s); sub(/:.*/, "", s); return s }
    FNR == NR { root[$1] = 1; next }
    /^[^ ]/ { pkg = name($1); groups[pkg] += 0; open = 0; next }
    /^ ( |\|)[A-Za-z]+: / {
        if (!open) { g = ++groups[pkg]; choices[pkg, g] = 0; open = 1 }
        c = ++choices[pkg, g]; choice[pkg, g, c] = $2; virtual[pkg, g, c] = ($2 ~ /^</)
        if (substr($0, 2, 1) != "|") open = 0
        next
    }
    /^    / { providers[pkg, g, c] = providers[pkg, g, c] " " name($1) }
    END {
        n = 0
        for (p in root) { have[p] = 1; queue[++n] = p }
        for (q = 1; q <= n; q++) {
            p = queue[q]
            for (g = 1; g <= groups[p]; g++) {
                satisfied = 0
                for (c = 1; c <= choices[p, g]; c++) {
                    if (!virtual[p, g, c] && (name(choice[p, g, c]) in have)) satisfied = 1
                    k = split(providers[p, g, c], by, " ")
                    for (i = 1; i <= k; i++) if (by[i] in have) satisfied = 1
                }
                if (satisfied) continue
                # The first choice apt can install: a real package, or a name with providers.
                for (c = 1; c <= choices[p, g]; c++) {
                    if (!virtual[p, g, c]) { take = name(choice[p, g, c]); k = 0 }
                    else { k = split(providers[p, g, c], by, " "); if (k == 0) continue
                           take = "" }
                    if (take != "") { have[take] = 1; queue[++n] = take }
                    for (i = 1; i <= k; i++)
                        if (!(by[i] in have)) { have[by[i]] = 1; queue[++n] = by[i] }
                    break
                }
            }
        }
        for (p in have) print p
    }' "$work/listed" "$work/depends" | sort -u >"$work/present"

status=0
join -t $'\t' -v1 "$work/needed" "$work/present" >"$work/missing" || true
if grep -q '^-' "$work/missing"; then
    echo "check-deps: files that no Debian package installs:"
    sed -n 's/^-\t/  /p' "$work/missing"
    status=1
fi
if grep -qv '^-' "$work/missing"; then
    echo "check-deps: packages that $install_script --tests does not install:"
    awk -F'\t' '$1 != "-" { n[$1]++; if (!($1 in first)) first[$1] = $2 }
        END { for (p in n) printf "  %s (%s%s)\n", p, first[p],
                                   (n[p] > 1 ? " and " n[p] - 1 " more" : "") }' \
        "$work/missing" | sort
    status=1
fi
[ "$status" = 1 ] ||
    echo "check-deps: $(wc -l <"$work/taken") files from $(cut -f1 "$work/needed" | sort -u |
        wc -l) packages, all installed by $install_script --tests"
exit $status
