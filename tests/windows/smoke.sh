#!/usr/bin/env bash
# The real window under Wine and Xvfb, from the portable zip: it opens as "Veltrano" with its Chinese
# texts, starts on an SQLite config.ini beside the .exe, sends a batch to the fake WeChat API, and
# Ctrl + numeric-keypad 0 hides it and, pressed in another program's window, shows it again.
#   tests/windows/smoke.sh BUILD_FOLDER   (as scripts/test-windows leaves it, with WINEPREFIX set)
set -euo pipefail
out=$(cd "$1" && pwd)
prefix="$out/prefix"
: "${WINEPREFIX:?the Wine prefix to run in}"
export WINEDEBUG=-all
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
work="$out/smoke"
rm -rf "$work"
mkdir -p "$work"
fail() { echo "smoke: FAILED: $*"; exit 1; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

zipfile=$(ls "$out"/veltrano-*-windows-x64.zip 2>/dev/null | head -n 1)
[ -n "$zipfile" ] || fail "no portable zip in $out"
unzip -q "$zipfile" -d "$work"
app="$work/Veltrano"

Xvfb -screen 0 1280x1024x24 -nolisten tcp -displayfd 3 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
fake=""
cleanup() {
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  [ -z "$fake" ] || kill "$fake" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"
# Wine's desktop belongs to the first program of a server: none may run yet, so it opens on this display.
timeout 60 "$(dirname "$wine")/wineserver" -w 2>/dev/null || true

"$prefix/bin/wine-run" "$out/make-demo-db.exe" "$(winpath "$app")" >/dev/null
[ -f "$app/config.ini" ] && grep -q '^driver=sqlite' "$app/config.ini" || fail "no SQLite config.ini beside the .exe"
pending() { sqlite3 "$app/demo.db" 'select count(*) from tempmsg where stat is null'; }
queued=$(pending)

"$prefix/bin/wine-run" "$out/fake-wechat.exe" --port 0 >"$work/fake-wechat.log" 2>&1 &
fake=$!
base=""
for _ in $(seq 300); do
  base=$(sed -n 's/^listening on \([^[:space:]]*\).*/\1/p' "$work/fake-wechat.log" | head -n 1)
  [ -n "$base" ] && break
  sleep 0.1
done
[ -n "$base" ] || fail "the fake WeChat API did not start"

# Started as an operator starts it: from its own folder, the service started at once.
(cd "$app" && VELTRANO_API_BASE="$base" exec "$wine" ./veltrano.exe --start >"$work/veltrano.log" 2>&1) &
visibleWindow() { # title pattern, half-seconds to wait; prints the window's id
  local id=""
  for _ in $(seq "$2"); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
    [ -n "$id" ] && break
    sleep 0.5
  done
  printf '%s' "$id"
}
window=$(visibleWindow '^Veltrano$' 120)
[ -n "$window" ] || fail "no visible window named Veltrano"
echo "smoke: the window \"Veltrano\" is open"
mapped() { xwininfo -id "$window" | grep -q 'Map State: IsViewable'; }
waitFor() { # seconds, then the command that must come true
  local n=$(( $1 * 4 )); shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.25; done
  return 1
}
log="$app/logs/$(date +%Y-%m-%d).log"
waitFor 30 grep -qs '服务启动成功' "$log" || fail "the service did not start: $(cat "$log" 2>/dev/null)"
echo "smoke: the service started on $(sed -n 's/^db=//p' "$app/config.ini") beside the .exe"
sleep 2
# For the eye: what the window showed, Chinese texts and skin.
if command -v xwd >/dev/null && command -v xwdtopnm >/dev/null; then
  xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$out/smoke-window.png" 2>/dev/null || true
fi

# The hot key is global: pressed in the window it hides it; pressed in another program's window it
# calls it back (Wine hears keys only while one of its windows has the focus).
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key ctrl+KP_0
waitFor 10 eval '! mapped' || fail "Ctrl + numeric-keypad 0 did not hide the window"
echo "smoke: Ctrl + numeric-keypad 0 hid the window"
"$wine" notepad >/dev/null 2>&1 &
other=$(visibleWindow 'Notepad' 60)
[ -n "$other" ] || fail "no other window to press the hot key in"
xdotool windowfocus --sync "$other" 2>/dev/null || true
xdotool key ctrl+KP_0
waitFor 10 mapped || fail "Ctrl + numeric-keypad 0 did not show the window again"
echo "smoke: Ctrl + numeric-keypad 0 in another program's window showed it again"

# The first batch falls due within the first minute.
sent() { [ "$(pending)" -lt "$queued" ] && grep -q '发送结果：{"errcode":0' "$log"; }
waitFor 100 sent || fail "no batch reached the fake WeChat API: $(tail -n 5 "$log")"
echo "smoke: a batch was sent: $(( queued - $(pending) )) of $queued queued messages answered"
echo "smoke: passed"
