#!/usr/bin/env bash
# Runs every test: the format check, the developer build (AddressSanitizer +
# UndefinedBehaviorSanitizer), the release build, and the appliance builds, dynamic and
# static (PowerPC, under qemu-ppc). Warnings are errors. Then the fuzz targets for a
# bounded time (scripts/fuzz.sh; FUZZ_SECONDS, default 25 per target). Installs what is
# missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "=== format ==="
scripts/check-format.sh
echo "=== weight of the tests ==="
scripts/weigh-tests.py

export AUDIO_WERROR=ON
status=0
passed=0
failed=0
for preset in dev release appliance appliance-static; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset tests ==="
  log=$(mktemp)
  ctest --preset "$preset" | tee "$log" || status=1
  # "100% tests passed, 0 tests failed out of 135"
  if read -r bad total < <(sed -nE 's/.* ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$log"); then
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    status=1
  fi
  rm -f "$log"
done
echo "=== fuzz ==="
scripts/fuzz.sh || { status=1; failed=$((failed + 1)); }
echo
echo "all presets: $passed passed, $failed failed"
exit $status
