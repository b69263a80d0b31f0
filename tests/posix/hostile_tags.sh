#!/usr/bin/env bash
# The player plays every file of the fuzz corpus (tags that crash or hang
# id3lib among them) with the plug-in loaded, and must quit cleanly each time.
# usage: hostile_tags.sh PLAYER CORPUS_DIR
set -u
player=$1
corpus=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bad=0
count=0
for f in "$corpus"/*; do
  [ -f "$f" ] || continue
  count=$((count + 1))
  timeout 30 "$player" --config "$work/trellicast.conf" play --track-seconds 1 --quit-after 1 "$f" \
    </dev/null >"$work/out" 2>&1
  rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "player exited $rc on $(basename "$f")"
    cat "$work/out"
    bad=$((bad + 1))
  fi
done
echo "$count files, $bad failures"
[ "$count" -gt 0 ] && [ "$bad" -eq 0 ]
