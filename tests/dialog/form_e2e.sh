#!/usr/bin/env bash
# End to end: the stand-in player on a terminal (tmux), its configure key,
# the terminal form typed into, OK, then the settings found in the store
# file and in force: posts reach the typed URL at the typed interval.
#   form_e2e.sh BIN_DIR [SCREEN_FILE]
# SCREEN_FILE, when given, receives the form as it looked before OK.
set -euo pipefail

bin=$1
screen_file=${2:-}
command -v tmux >/dev/null || { echo "tmux not installed"; exit 77; }

work=$(mktemp -d)
sock="trellicast-dialog-$$"
tmux=(tmux -L "$sock" -f /dev/null)
receiver=""
cleanup() {
  "${tmux[@]}" kill-server 2>/dev/null || true
  [ -n "$receiver" ] && kill "$receiver" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- screen"; "${tmux[@]}" capture-pane -p 2>/dev/null || true
  echo "--- posts"; cat "$work/posts" 2>/dev/null || true
  exit 1
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1
  shift
  for ((i = 0; i < tenths; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}
screen_has() { "${tmux[@]}" capture-pane -p | grep -qF -- "$1"; }
posts_to() {
  local n
  n=$(cat "$work/posts" 2>/dev/null | grep -c "^receiver: POST $1 " || true)
  [ "${n:-0}" -ge "$2" ]
}

# The demo's receiver on loopback: every POST it gets, with its request line,
# goes to the posts file.
python3 "$(dirname "$0")/../../scripts/receiver.py" --port-file "$work/port" >"$work/posts" &
receiver=$!
wait_for 50 test -s "$work/port" || fail "receiver did not start"
url="http://127.0.0.1:$(cat "$work/port")/np/dialog"

printf 'not really audio' >"$work/song.mp3"
"${tmux[@]}" new-session -d -x 100 -y 40 \
  "'$bin/trellicast-host' --config '$work/trellicast.conf' play --track-seconds 120 --quit-after 60 '$work/song.mp3'; sleep 30"
wait_for 100 screen_has "c configure" || fail "player did not start"
wait_for 30 screen_has "update timer: every 10000 ms" || fail "default interval not armed"

"${tmux[@]}" send-keys c
wait_for 50 screen_has " Trellicast settings " || fail "form not shown"
screen_has "[10 " || fail "stored interval not shown"

# OK with the URL still empty: the box, acknowledged, and the form stays.
"${tmux[@]}" send-keys Enter
wait_for 50 screen_has "Url not entered" || fail "empty URL not reported"
"${tmux[@]}" send-keys Enter
wait_for 50 screen_has " Trellicast settings " || fail "form gone after the box"

# Focus starts on OK: two Tabs reach the URL, one more the interval.
"${tmux[@]}" send-keys Tab Tab
"${tmux[@]}" send-keys -l "$url"
"${tmux[@]}" send-keys Tab BSpace BSpace
"${tmux[@]}" send-keys -l "1x23456"  # digits only, four at most
wait_for 50 screen_has "[1234_" || fail "interval edit did not keep its rules"
"${tmux[@]}" send-keys BSpace BSpace BSpace
wait_for 50 screen_has "[1_" || fail "interval not shortened"
wait_for 50 screen_has "$url" || fail "URL not shown as typed"
if [ -n "$screen_file" ]; then
  "${tmux[@]}" capture-pane -p | sed -n '/^+--/,/Backspace: erase/p' >"$screen_file"
fi
"${tmux[@]}" send-keys Enter
wait_for 50 bash -c "! tmux -L '$sock' -f /dev/null capture-pane -p | grep -qF ' Trellicast settings '" ||
  fail "form did not close on OK"

# In force at once: with 1 s instead of 10 s, two posts within a few seconds.
wait_for 60 posts_to /np/dialog 2 || fail "no posts to the typed URL at the typed interval"

"${tmux[@]}" send-keys q
stored=$("$bin/trellicast-host" --config "$work/trellicast.conf" get)
echo "$stored"
[ "$stored" = "$(printf 'URL=%s\nEnabled=1\nInterval=1\nUtf8=1\nOutputFolder=\nOutputTemplate=%%artist%% - %%title%%\nSendCover=0\nDiscord=0\nDiscordAppId=\nDiscordPaused=clear\nListenUrl=\nListenToken=' "$url")" ] ||
  fail "the settings are not in the config file"
echo "PASS"
