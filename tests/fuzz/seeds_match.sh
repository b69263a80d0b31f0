#!/bin/bash
# The seeds make_fuzz_seeds writes are the ones committed in the corpus, byte
# for byte: a change to the tag writer that alters a seed fails here until
# the corpus is written again.
#   seeds_match.sh MAKE_FUZZ_SEEDS CORPUS
set -u
make_seeds=$1 corpus=$2
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
"$make_seeds" "$out" || { echo "make_fuzz_seeds failed"; exit 1; }
count=0 failed=0
for seed in "$out"/*; do
  [ -e "$seed" ] || continue
  count=$((count + 1))
  name=$(basename "$seed")
  if ! cmp -s "$seed" "$corpus/$name"; then
    echo "differs from the corpus: $name"
    failed=1
  fi
done
[ "$count" -gt 0 ] || { echo "no seeds written"; exit 1; }
echo "$count seeds checked"
exit "$failed"
