#!/usr/bin/env bash
# Checks the install layout and the Debian package.
#   package_test.sh install BUILD_DIR   `cmake --install` of the build tree into a temporary prefix
#   package_test.sh deb DEB             a package built by scripts/package
#   package_test.sh build-deb DIR       runs scripts/package in DIR first (or takes $APUTIL_DEB)
# Both compare the files against installed-files.txt and check the desktop
# entry and the icons; the package check also reads its control data and runs
# its postinst against the unpacked tree (DPKG_ROOT), never against /usr.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=$1 input=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/aputil-package-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

grep -v '^#' "$here/installed-files.txt" | LC_ALL=C sort >"$tmp/want"

same_files() {  # label, file with the list found
    if ! diff -u "$tmp/want" "$2" >"$tmp/diff"; then
        fail "$1 differs from installed-files.txt (- missing, + unexpected):"
        cat "$tmp/diff" >&2
    fi
}

check_tree() {  # prefix folder
    local prefix=$1
    local program
    for program in bin/aputil libexec/aputil/aputil-link; do
        [ -f "$prefix/$program" ] && [ ! -L "$prefix/$program" ] && [ -x "$prefix/$program" ] ||
            fail "$program is not an executable file"
    done
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$prefix/share/applications/aputil.desktop" || fail "desktop entry does not validate"
    fi
    grep -qx 'Exec=aputil' "$prefix/share/applications/aputil.desktop" || fail "desktop entry does not start aputil"
    grep -qx 'Icon=aputil' "$prefix/share/applications/aputil.desktop" || fail "desktop entry names another icon"
    # Each icon is a PNG whose header gives the size of the folder it sits in.
    local icon size header want
    for icon in "$prefix"/share/icons/hicolor/*/apps/aputil.png; do
        size=${icon%/apps/aputil.png}; size=${size##*/}; size=${size%%x*}
        header=$(od -An -tx1 -N24 "$icon" | tr -d ' \n')
        want=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$size" "$size")
        [ "$header" = "$want" ] || fail "icon $icon is not a ${size}x${size} PNG"
    done
    # The default catalogue installed is the project's own, byte for byte.
    cmp -s "$prefix/share/aputil/message.txt" "$here/../../app/message.txt" || fail "installed message.txt differs"
    local bmp
    for bmp in "$prefix"/share/aputil/img/*.bmp; do
        [ "$(head -c2 "$bmp")" = BM ] || fail "$bmp is not a bitmap"
    done
}

if [ "$mode" = build-deb ]; then
    if [ -n "${APUTIL_DEB:-}" ]; then
        input=$APUTIL_DEB
    else
        input=$("$here/../../scripts/package" "$input" | tail -n1)
    fi
    mode=deb
fi

case $mode in
install)
    cmake --install "$input" --prefix "$tmp/prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }
    (cd "$tmp/prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/got"
    same_files "cmake --install" "$tmp/got"
    check_tree "$tmp/prefix"
    ;;
deb)
    [ -f "$input" ] || { echo "no package at $input" >&2; exit 1; }
    dpkg-deb -c "$input" >"$tmp/contents"
    # Lines: mode owner size date time path [-> target]; files only, the /usr prefix taken off.
    awk '$1 !~ /^d/ { print $6 }' "$tmp/contents" | sed 's|^\./usr/||' | LC_ALL=C sort >"$tmp/got"
    same_files "dpkg-deb -c" "$tmp/got"
    if awk '{ print $2 }' "$tmp/contents" | grep -vqx 'root/root'; then fail "files not owned by root"; fi

    dpkg-deb -x "$input" "$tmp/root"
    check_tree "$tmp/root/usr"

    [ "$(dpkg-deb -f "$input" Package)" = aputil ] || fail "package name"
    depends=$(dpkg-deb -f "$input" Depends)
    for dep in libcap2-bin libqt6widgets6 libpcap0.8; do
        grep -q "\\b$dep\\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
    done

    dpkg-deb -e "$input" "$tmp/control"
    postinst=$tmp/control/postinst
    [ -x "$postinst" ] || fail "postinst missing or not executable"
    helper=/usr/libexec/aputil/aputil-link
    grep -q "setcap cap_net_raw+ep \"\$helper\"" "$postinst" || fail "postinst does not setcap the helper"

    # A stand-in setcap shows what postinst asks for and lets it fail.
    mkdir "$tmp/fakebin"
    cat >"$tmp/fakebin/setcap" <<FAKE
#!/bin/sh
echo "\$*" >>"$tmp/setcap.calls"
echo "setcap: Operation not supported" >&2
exit 1
FAKE
    chmod +x "$tmp/fakebin/setcap"
    if ! PATH="$tmp/fakebin:$PATH" DPKG_ROOT=/nonexistent-root "$postinst" configure 1.0 >"$tmp/out" 2>"$tmp/err"; then
        fail "postinst fails the install when setcap fails"
    fi
    [ "$(cat "$tmp/setcap.calls")" = "cap_net_raw+ep /nonexistent-root$helper" ] ||
        fail "postinst ran: setcap $(cat "$tmp/setcap.calls")"
    grep -q "setcap cap_net_raw+ep /nonexistent-root$helper" "$tmp/err" ||
        { fail "postinst does not say how to fix a failed setcap:"; cat "$tmp/err" >&2; }

    # Other maintainer actions leave the helper alone.
    rm -f "$tmp/setcap.calls"
    PATH="$tmp/fakebin:$PATH" "$postinst" abort-upgrade 1.0 || fail "postinst abort-upgrade fails"
    [ ! -e "$tmp/setcap.calls" ] || fail "postinst abort-upgrade ran setcap"

    # The real setcap on the unpacked helper: it comes out with exactly cap_net_raw.
    if [ "$(id -u)" = 0 ]; then
        DPKG_ROOT=$tmp/root "$postinst" configure || fail "postinst configure on the unpacked tree"
        caps=$(getcap "$tmp/root$helper")
        [[ "$caps" == *"cap_net_raw=ep" ]] || fail "helper capabilities after postinst: '$caps'"
    fi
    ;;
*)
    echo "usage: package_test.sh install BUILD_DIR | deb DEB" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package checks passed ($mode)"
