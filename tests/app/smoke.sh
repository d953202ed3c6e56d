#!/usr/bin/env bash
# Smoke test of the real program: starts tessaline under Xvfb with a tray host (trayer) and a throwaway settings
# folder, sees its window, and ends it with SIGTERM, which closes the window the way its close box does.
#   1. First start, empty settings: the connection window appears; the default port is stored.
#   2. Stored details that connect (FreeTDS's name "SQL Server" mapped to the SQLite ODBC driver through a private
#      ODBCSYSINI): the main window appears by itself and its icon sits in the tray.
# Usage: smoke.sh PATH/TO/tessaline
set -euo pipefail

program=${1:?usage: smoke.sh PATH/TO/tessaline}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
for tool in Xvfb trayer xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup installs it)"
done
[ -x "$program" ] || fail "$program is not an executable"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number; it listens on no TCP port.
exec {displayfd}>"$work/display"
Xvfb -displayfd "$displayfd" -screen 0 1024x700x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n 1 "$work/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

# Waits until the X window tree has a line matching the pattern; fails after 20 seconds.
wait_for_window() {
    local pattern=$1 what=$2
    for _ in $(seq 200); do
        if xwininfo -root -tree 2>/dev/null | grep -Eq "$pattern"; then
            return 0
        fi
        sleep 0.1
    done
    xwininfo -root -tree >&2 || true
    fail "$what did not appear"
}

# Sends SIGTERM and expects the program to end by itself with status 0 within 20 seconds.
end_program() {
    local pid=$1 log=$2
    kill -TERM "$pid"
    for _ in $(seq 200); do
        if ! kill -0 "$pid" 2>/dev/null; then
            local status=0
            wait "$pid" || status=$?
            [ "$status" -eq 0 ] || fail "tessaline ended with status $status: $(cat "$log")"
            return 0
        fi
        sleep 0.1
    done
    fail "tessaline did not end within 20 seconds of SIGTERM"
}

# The tray host: its panel must be on screen before a program looks for a tray, or the icon stays unembedded. On a
# loaded machine it can take seconds to come up; one that ended is started again, with its log kept.
tray_host=
start_tray_host() {
    if [ -n "$tray_host" ] && kill -0 "$tray_host" 2>/dev/null; then
        return 0
    fi
    if [ -n "$tray_host" ]; then
        echo "note: trayer had ended ($(cat "$work/trayer.log")); starting it again" >&2
    fi
    trayer --edge top --align right --widthtype request --height 24 >"$work/trayer.log" 2>&1 &
    tray_host=$!
    pids+=("$tray_host")
    wait_for_window '"panel": \("panel" "trayer"\)' "trayer's panel"
}
start_tray_host

stored() {
    sed -n "s/^$2=//p" "$1/Brackwell/Brackwell.ini"
}

echo "1. first start shows the connection window"
mkdir -p "$work/first"
XDG_CONFIG_HOME="$work/first" "$program" >"$work/first.log" 2>&1 &
pid=$!
pids+=("$pid")
wait_for_window '"Tessaline": \("tessaline" "Tessaline"\) +536x264' "the connection window (536x264)"
[ "$(stored "$work/first" MSPort)" = "1433" ] || fail "the default port was not stored"
end_program "$pid" "$work/first.log"

echo "2. stored details that connect go straight to the main window, with the tray icon"
start_tray_host
driver=$(dpkg -L libsqliteodbc 2>/dev/null | grep '/libsqlite3odbc\.so$' | head -n 1 || true)
[ -n "$driver" ] || fail "the SQLite ODBC driver (package libsqliteodbc) is not installed"
mkdir -p "$work/odbc" "$work/second/Brackwell" "$work/backups"
printf '[SQL Server]\nDescription=SQLite standing in for the server\nDriver=%s\n' "$driver" >"$work/odbc/odbcinst.ini"
: >"$work/odbc/odbc.ini"
printf '[Tessaline]\nMSServer=localhost\nMSDatabase=%s\nPath=%s\nStartStopState=Off\n' \
    "$work/demo.db" "$work/backups/" >"$work/second/Brackwell/Brackwell.ini"
XDG_CONFIG_HOME="$work/second" ODBCSYSINI="$work/odbc" ODBCINSTINI=odbcinst.ini ODBCINI="$work/odbc/odbc.ini" \
    "$program" >"$work/second.log" 2>&1 &
pid=$!
pids+=("$pid")
wait_for_window '"Tessaline": \("tessaline" "Tessaline"\) +520x650' "the main window (520x650)"
# Top-level windows are indented by five blanks in the tree; the icon is nested inside trayer's panel.
wait_for_window '^ {6,}0x[0-9a-f]+ "Tessaline": \("tessaline" "Tessaline"\)' "the tray icon inside trayer"
if xwininfo -root -tree | grep -Eq '"Tessaline": \("tessaline" "Tessaline"\) +536x264'; then
    fail "the connection window stayed on screen"
fi
grep -q '^Restore%20File=$' "$work/second/Brackwell/Brackwell.ini" \
    || fail "the main window's load did not store the empty restore file: $(cat "$work/second/Brackwell/Brackwell.ini")"
end_program "$pid" "$work/second.log"

echo "PASS"
