#!/usr/bin/env bash
# The installed window, started from a folder of the user's, reads its texts
# from the current directory when it holds a "message.txt" and otherwise from
# the installed share/aputil, and runs the packet helper installed in
# libexec/aputil. Run inside a namespace of its own (with-netns),
# so its browse stays off the machine's interfaces; the window's title, the
# catalogue's UTILITY_NAME, shows which catalogue it read.
#   installed_window_test.sh BUILD_DIR
set -uo pipefail
build=$1
command -v Xvfb >/dev/null && command -v xwininfo >/dev/null || { echo "needs Xvfb and xwininfo; skipped"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/aputil-installed-XXXXXX")
xvfb=""
window=""
cleanup() {
    [ -n "$window" ] && kill "$window" 2>/dev/null && wait "$window" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }
installed=$tmp/prefix/share/aputil/message.txt
grep -q '^UTILITY_NAME ' "$installed" || { echo "FAIL: installed catalogue has no UTILITY_NAME"; exit 1; }
sed -i 's/^UTILITY_NAME .*/UTILITY_NAME Installed copy read**/' "$installed"

# A display number of its own, well away from the low ones desktops and
# xvfb-run take (the lock files are shared with every other namespace).
# -noreset: by default the server resets when its last client leaves, and the
# second window, started just after the first one closed, can meet it mid-reset.
for _ in $(seq 20); do
    n=$((300 + RANDOM % 600))
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset 2>"$tmp/xvfb.log" &
    xvfb=$!
    for _ in $(seq 50); do
        xwininfo -root -display ":$n" >/dev/null 2>&1 && break
        kill -0 "$xvfb" 2>/dev/null || break
        sleep 0.1
    done
    xwininfo -root -display ":$n" >/dev/null 2>&1 && break
    kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
    xvfb=""
done
[ -n "$xvfb" ] || { echo "FAIL: Xvfb did not start"; cat "$tmp/xvfb.log"; exit 1; }
export DISPLAY=:$n

# Starts the installed program in FOLDER and waits for a window titled TITLE.
shows_title() {  # folder title
    local folder=$1 title=$2 found=1
    for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
    (cd "$folder" && exec env -u QT_QPA_PLATFORM APUTIL_INSTANCE_LOCK="$tmp/lock" \
        "$tmp/prefix/bin/aputil" >"$tmp/window.log" 2>&1) &
    window=$!
    for _ in $(seq 150); do
        if xwininfo -root -tree 2>/dev/null | grep -qF "\"$title\""; then found=0; break; fi
        kill -0 "$window" 2>/dev/null || break
        sleep 0.2
    done
    # The window runs the helper installed beside it (../libexec/aputil).
    if [ $found = 0 ]; then
        local child helper="" want
        want=$(realpath "$tmp/prefix/libexec/aputil/aputil-link")
        for _ in $(seq 50); do
            for child in $(ps --ppid "$window" -o pid= 2>/dev/null); do
                [ "$(readlink "/proc/$child/exe" 2>/dev/null)" = "$want" ] && helper=$child
            done
            [ -n "$helper" ] && break
            sleep 0.1
        done
        [ -n "$helper" ] || { echo "FAIL: the installed window runs no $want"; found=1; }
    else
        echo "FAIL: started in $folder, no window titled \"$title\"; windows:"
        xwininfo -root -tree 2>/dev/null | grep '"' | head -n 20
        cat "$tmp/window.log"
        kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb has gone:"; cat "$tmp/xvfb.log"; }
    fi
    kill "$window" 2>/dev/null
    wait "$window" 2>/dev/null
    window=""
    return $found
}

status=0
mkdir -p "$tmp/home" "$tmp/own"
shows_title "$tmp/home" "Installed copy read" || status=1
# The current directory's catalogue still comes first.
printf 'UTILITY_NAME Current directory read**\n' >"$tmp/own/message.txt"
shows_title "$tmp/own" "Current directory read" || status=1
[ $status = 0 ] && echo "installed window checks passed"
exit $status
