#!/usr/bin/env bash
# The station on simulated devices with their own delays (restart 800 ms,
# busy 1.5 s): 1, 8 and 32 devices arriving 100 ms apart, the whole
# talvex-cli station process each, RUNS runs each (median). Prints units per
# hour and checks that 32 devices are all done within 1.5 times the time
# of one device plus the arrival spread.
# usage: bench/station-bench.sh TALVEX_CLI WORK_DIR [RUNS]
set -euo pipefail
cli=$1
work=$2
runs=${3:-3}
mkdir -p "$work"
firmware=$(scripts/make-demo-firmware.sh "$cli" "$work")

# Seconds the whole station process took for N devices, median of the runs.
station_seconds() {
  local n=$1 arrive times=()
  arrive=$(seq -s, 0 100 $(((n - 1) * 100)))
  for _ in $(seq "$runs"); do
    rm -f "$work/record.jsonl"
    local start end
    start=$(date +%s.%N)
    TALVEX_SIMULATOR="devices=$n,arrive=$arrive,restart-ms=800,busy-ms=1500" \
      "$cli" station --record "$work/record.jsonl" --count "$n" "$firmware" >/dev/null
    end=$(date +%s.%N)
    if [ "$(grep -c '"result":"done"' "$work/record.jsonl")" -ne "$n" ]; then
      echo "station-bench: not every one of $n devices was flashed" >&2
      exit 1
    fi
    times+=("$(awk "BEGIN { print $end - $start }")")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

one=$(station_seconds 1)
printf 'devices  seconds  units/hour\n'
printf '%7d  %7.2f  %10.0f\n' 1 "$one" "$(awk "BEGIN { print 3600 / $one }")"
for n in 8 32; do
  t=$(station_seconds $n)
  printf '%7d  %7.2f  %10.0f\n' "$n" "$t" "$(awk "BEGIN { print $n * 3600 / $t }")"
done
limit=$(awk "BEGIN { print 1.5 * ($one + 3.1) }")
if awk "BEGIN { exit !($t > $limit) }"; then
  printf 'station-bench: 32 devices took %.2f s, more than %.2f s\n' "$t" "$limit" >&2
  exit 1
fi
printf '32 devices within %.2f s (1.5 x (one device + 3.1 s of arrivals))\n' "$limit"
