#!/usr/bin/env bash
# Runs every test: the developer build (AddressSanitizer + UndefinedBehaviorSanitizer),
# the release build, and the appliance build (PowerPC, under qemu-ppc). Warnings are
# errors. Then the fuzz targets for a bounded time (scripts/fuzz.sh; FUZZ_SECONDS, default
# 60 per target). Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export AUDIO_WERROR=ON
status=0
for preset in dev release appliance; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset tests ==="
  ctest --preset "$preset" || status=1
done
echo "=== fuzz ==="
scripts/fuzz.sh || status=1
exit $status
