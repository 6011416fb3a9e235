#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer with AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every fuzz target for a bounded time, each in an appliance-sandbox of its own (the
# targets make segments with key 1005 and sockets), starting from the seeds committed in
# fuzz/seeds/<name>/ and what earlier runs found.
#   FUZZ_SECONDS   time per target (default 25: six targets stay within about 3 minutes)
# A crash leaves its input in build/fuzz/artifacts/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-25}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz
mkdir -p "$out/artifacts"
status=0
for target in "$out"/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target" _fuzz)
  corpus="$out/corpus/$name"
  mkdir -p "$corpus"
  committed=()
  if [ -d "fuzz/seeds/$name" ]; then committed=("fuzz/seeds/$name"); fi
  echo "=== fuzz $name for ${seconds}s ==="
  # New inputs go to the first directory; stdout (the parsers' messages) is closed.
  "$out/sim/appliance-sandbox" --keep "$PWD" -- "$target" -max_total_time="$seconds" \
    -timeout=10 -max_len=4096 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$name-" "$corpus" "${committed[@]}" || status=1
done
exit $status
