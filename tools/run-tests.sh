#!/usr/bin/env bash
# Builds every configuration (every preset of CMakePresets.json) and runs all
# tests: Linux (GCC), Linux with AddressSanitizer and UndefinedBehaviorSanitizer,
# the Windows program under Wine, the optimised release build with the
# benchmarks, the two packages (built, checked by lintian, and as root
# installed and removed), and a short run of every fuzz target on its seed
# corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=${VX_JOBS:-$(nproc)}
mkdir -p build
touch build/.run-tests-start
fuzz_seconds=${VX_FUZZ_SECONDS:-20}

for preset in default asan windows release; do
  echo "== build: $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

total=0
for preset in default asan windows release; do
  echo "== test: $preset =="
  ctest --preset "$preset" -j "$jobs" | tee "build/$preset/ctest.log"
  count=$(grep -o 'tests failed out of [0-9]*' "build/$preset/ctest.log" | grep -o '[0-9]*$')
  total=$((total + ${count:-0}))
done

# The packages, installed and removed again as a user would (root only).
echo "== packages =="
bash tools/package-test.sh | tee build/package-test.log
if grep -q '^package test: passed' build/package-test.log; then total=$((total + 1)); fi

echo "== fuzz: ${fuzz_seconds}s per target =="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in build/fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target" _fuzz)
  corpus=fuzz/corpus/$name
  work=build/fuzz/corpus-work/$name
  mkdir -p "$work"
  dirs=("$work")
  [ -d "$corpus" ] && dirs+=("$corpus")
  log=build/fuzz/$name.log
  # A single allocation over 256 MiB is a finding: no input may make the
  # readers reserve memory that it can't back.
  if ! "$target" -max_total_time="$fuzz_seconds" -malloc_limit_mb=256 -print_final_stats=1 \
       -artifact_prefix=build/fuzz/ "${dirs[@]}" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz target $name found a fault"
    exit 1
  fi
  echo "-- $name: $(grep -o 'number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, clean"
done
# Every preset was configured by this run, so that none can break unseen
# (the package presets only where the package test runs, as root).
for preset in $(python3 -c 'import json
print(" ".join(p["name"] for p in json.load(open("CMakePresets.json"))["configurePresets"]
               if not p.get("hidden")))'); do
  if [[ $preset == package-* ]] && [ "$(id -u)" -ne 0 ]; then continue; fi
  if [ ! "build/$preset/CMakeCache.txt" -nt build/.run-tests-start ]; then
    echo "preset $preset is not built by this script"
    exit 1
  fi
done
echo "tests: $total passed, 0 failed"
