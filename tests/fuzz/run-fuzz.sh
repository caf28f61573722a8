#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, ASan, UBSan) and runs each for a
# bounded time from its seed corpus: fuzz_firmwarefile from the files that
# talvex-cli packs, fuzz_device from the simulated device's recorded answers
# and the inputs of earlier findings (tests/fuzz/device-regressions),
# fuzz_signature from the signatures and keys minisign made for the tests
# and its earlier findings (tests/fuzz/signature-regressions),
# for half the time: its inputs are a few short lines.
# Exits non-zero when a fuzzer finds a failure; its input is kept in
# BUILD_DIR/fuzz-artifacts/TARGET/.
# usage: tests/fuzz/run-fuzz.sh [BUILD_DIR] [SECONDS] [TARGET...]
#   SECONDS is per target; TARGET defaults to all three.
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:-build-fuzz}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_firmwarefile fuzz_device fuzz_signature)
fi

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_FUZZ=ON
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

for target in "${targets[@]}"; do
  target_seconds=$seconds
  case "$target" in
    fuzz_firmwarefile)
      seeds=("$build_dir/tests/fuzz/corpus/seeds")
      options=(-max_len=4096)
      ;;
    fuzz_device)
      seeds=("$build_dir/tests/fuzz/device-corpus/seeds" tests/fuzz/device-regressions)
      # No single allocation may reach 96 MiB: the longest block a device may
      # announce is 64 MiB. An input takes milliseconds; one that runs for a
      # minute counts as a hang (a busy machine has stalled one for 13 s).
      options=(-max_len=8192 -malloc_limit_mb=96 -timeout=60)
      ;;
    fuzz_signature)
      seeds=("$build_dir/tests/firmware/signatures" tests/fuzz/signature-regressions)
      options=(-max_len=2048)
      target_seconds=$(((seconds + 1) / 2))
      ;;
    *)
      echo "run-fuzz.sh: unknown target $target" >&2
      exit 2
      ;;
  esac
  corpus="$build_dir/fuzz-corpus/$target"
  artifacts="$build_dir/fuzz-artifacts/$target"
  mkdir -p "$corpus" "$artifacts"

  # The fuzzer reports every new input; keep that in a log and show its end.
  log="$build_dir/$target.log"
  echo "== $target: $target_seconds s"
  if ! "$build_dir/bin/$target" -max_total_time="$target_seconds" -print_final_stats=1 "${options[@]}" \
    -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzzing $target found a failure; the input is in $artifacts/" >&2
    exit 1
  fi
  tail -n 12 "$log"
done
