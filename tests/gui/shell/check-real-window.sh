#!/usr/bin/env bash
# Runs the real program on a virtual X display with a home of its own and
# checks what only a real display shows: the window is dark, 90% of the
# screen and centred; Ctrl+B and Alt+Space act once each; a window manager's
# close message ends the process.
#   check-real-window.sh <tessaron binary> <send-wm-delete binary>
set -u
binary=$1
send_delete=$2
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -s '-screen 0 1600x1000x24' "$0" "$@"
fi
# A desktop session has a session bus; give the program one of its own.
if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]] && command -v dbus-run-session >/dev/null; then
  exec dbus-run-session -- "$0" "$@"
fi
root=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-x11.XXXXXX")
pid=
cleanup() { [[ -n "$pid" ]] && kill "$pid" 2>/dev/null; rm -rf "$root"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- program log:"; cat "$root/log"; exit 1; }
# Waits up to 10 s for a log line to appear (a loaded machine can be slow),
# then a moment more so a second, unwanted one would show too.
await_log() {
  for _ in $(seq 100); do grep -q "$1" "$root/log" && break; sleep 0.1; done
  sleep 0.3
}

mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache"
export HOME=$root/home XDG_CONFIG_HOME=$root/config XDG_DATA_HOME=$root/data XDG_CACHE_HOME=$root/cache
unset QT_QPA_PLATFORM
export QT_LOGGING_RULES="tessaron.shell.info=true;tessaron.hotkey.info=true"
"$binary" >"$root/log" 2>&1 &
pid=$!

wid=$(xdotool search --sync --onlyvisible --pid "$pid" 2>/dev/null | head -1)
[[ -n "$wid" ]] || fail "no window appeared"
# The window is enlarged on the turn after it is shown.
for _ in $(seq 50); do
  geometry=$(xwininfo -id "$wid" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}')
  [[ "$geometry" == "80 50 1440 900" ]] && break
  sleep 0.1
done
[[ "$geometry" == "80 50 1440 900" ]] || fail "window at '$geometry', not 90% centred (80 50 1440 900)"
echo "ok: window 1440x900 at 80,50 on a 1600x1000 screen"

# Let start-up finish, then look at it.
for _ in $(seq 100); do grep -q "start-up finished" "$root/log" && break; sleep 0.1; done
import -window root "$root/shot.png"
brightness=$(convert "$root/shot.png" -crop 1440x900+80+50 -colorspace Gray -format '%[fx:mean]' info:)
awk -v b="$brightness" 'BEGIN{exit !(b < 0.25)}' || fail "window not dark (mean brightness $brightness)"
echo "ok: dark (mean brightness $brightness)"

xdotool mousemove 800 500
xdotool windowfocus --sync "$wid" 2>/dev/null || true
sleep 0.3
xdotool key ctrl+b
await_log "sidebar toggled"
toggles=$(grep -c "sidebar toggled" "$root/log")
[[ "$toggles" == 1 ]] || fail "Ctrl+B toggled the sidebar $toggles times"
echo "ok: Ctrl+B toggled the sidebar once"

xdotool key alt+space
await_log "dictation toggled"
presses=$(grep -c "dictation toggled" "$root/log")
[[ "$presses" == 1 ]] || fail "Alt+Space toggled dictation $presses times"
grep -q "Alt+Space grabbed" "$root/log" || fail "Alt+Space was not grabbed system-wide"
echo "ok: Alt+Space toggled dictation once (system-wide grab)"

# Dictation is not in this build: the error alert says so. Its OK closes it.
for _ in $(seq 50); do
  alert=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | grep -v "^$wid$" | head -1)
  [[ -n "$alert" ]] && break
  sleep 0.1
done
[[ -n "$alert" ]] || fail "no error alert after the failed dictation start"
xdotool key Return
for _ in $(seq 50); do
  still=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | grep -vc "^$wid$")
  [[ "$still" == 0 ]] && break
  sleep 0.1
done
[[ "$still" == 0 ]] || fail "the error alert stayed open"
echo "ok: the error alert showed and OK closed it"

# A second copy cannot take the key the first one holds: it says so and
# keeps Alt+Space inside its own window.
mkdir -p "$root/home2"
HOME=$root/home2 XDG_CONFIG_HOME=$root/home2/config XDG_DATA_HOME=$root/home2/data XDG_CACHE_HOME=$root/home2/cache \
  "$binary" >"$root/log2" 2>&1 &
second=$!
for _ in $(seq 100); do grep -q "not grabbed" "$root/log2" && break; sleep 0.1; done
kill "$second" 2>/dev/null; wait "$second" 2>/dev/null
grep -q "Alt+Space not grabbed: another program holds Alt+Space" "$root/log2" || fail "a refused grab was not logged"
echo "ok: a refused grab is logged"

# Xvfb has no window manager: give the first window the focus back, as a
# window manager would once the second copy's window is gone.
xdotool mousemove 800 500
xdotool windowfocus --sync "$wid" 2>/dev/null || true
sleep 0.3
"$send_delete" "$wid" || fail "the close message could not be sent"
# Quitting stops the application state's threads; a loaded machine is slow.
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  if command -v gdb >/dev/null; then
    echo "--- where its threads are:"
    gdb -p "$pid" -batch -ex "thread apply all bt 12" 2>/dev/null | grep -E '^(Thread|#)' | head -200
  fi
  fail "the process still runs after the window was closed (its windows: $(xdotool search --pid "$pid" | tr '\n' ' '))"
fi
wait "$pid"
status=$?
pid=
[[ "$status" == 0 ]] || fail "the process ended with status $status"
echo "ok: closing the window ended the process"
