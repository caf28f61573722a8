#!/usr/bin/env bash
# Builds the firmware loader's fuzzer with clang (libFuzzer, ASan, UBSan) and
# runs it for a bounded time from the seed corpus that talvex-cli packs.
# Exits non-zero when the fuzzer finds a crash; its input is kept in
# BUILD_DIR/fuzz-artifacts/.
# usage: tests/fuzz/run-fuzz.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:-build-fuzz}
seconds=${2:-60}

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_FUZZ=ON
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_firmwarefile

seeds="$build_dir/tests/fuzz/corpus/seeds"
corpus="$build_dir/tests/fuzz/corpus/found"
artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$corpus" "$artifacts"

# The fuzzer reports every new input; keep that in a log and show its end.
log="$build_dir/fuzz.log"
if ! "$build_dir/bin/fuzz_firmwarefile" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "fuzzing found a failure; the input is in $artifacts/" >&2
  exit 1
fi
tail -n 12 "$log"
