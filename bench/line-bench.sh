#!/usr/bin/env bash
# The line database's cost, against a PostgreSQL 15 server of its own
# (initdb into a temporary folder, as nobody when run as root; a socket in
# that folder; fsync on, as a line's server runs): a reservation plus a
# settle per unit (median and 99th percentile), then 8 talvex-cli station
# processes with 16 simulated devices each, on the line database against
# the same 8 on local files (units per hour, median of RUNS runs), with
# the station benchmark's device delays and with hardly any.
# usage: bench/line-bench.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-3}
cli=$build/bin/talvex-cli
pg=/usr/lib/postgresql/15/bin
work=$(mktemp -d)
as_server=()
if [ "$(id -u)" = 0 ]; then
  chown nobody: "$work"
  as_server=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
stop() {
  "${as_server[@]}" "$pg/pg_ctl" -D "$work/data" stop -m fast >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap stop EXIT
"${as_server[@]}" "$pg/initdb" -D "$work/data" -U talvex_admin --auth=trust -E UTF8 >/dev/null
"${as_server[@]}" "$pg/pg_ctl" -D "$work/data" -w -l "$work/log" \
  -o "-k $work -c listen_addresses='' -p 5499" start >/dev/null
address() { echo "host=$work port=5499 user=talvex_admin dbname=$1"; }
"$pg/createdb" -h "$work" -p 5499 -U talvex_admin units


"$build/bin/bench_line_units" "$(address units)" 2000

firmware=$(scripts/make-demo-firmware.sh "$cli" "$work")
# Seconds 8 stations of 16 devices each take, all at once; $1: line or
# local, $2: the devices' delays.
eight_stations() {
  local kind=$1 delays=$2 times=() run
  for run in $(seq "$runs"); do
    local db="line_${run}_$RANDOM" dir start end pids=()
    dir=$(mktemp -d "$work/$kind-XXXX")
    [ "$kind" = line ] && "$pg/createdb" -h "$work" -p 5499 -U talvex_admin "$db"
    start=$(date +%s.%N)
    for k in $(seq 8); do
      # Local files need a range cut by hand for each station; the line shares one.
      local where=(--serials "B$k{00001..99999}" --state "$dir/state$k.json")
      [ "$kind" = line ] && where=(--serials "B{000001..999999}" --line "$(address "$db")")
      TALVEX_SIMULATOR="devices=16,serial=S${k}U001,$delays" \
        "$cli" station "$firmware" --board 2.1 "${where[@]}" \
        --record "$dir/record$k.jsonl" --name "st$k" --count 16 >/dev/null 2>"$dir/err$k" &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid"; done
    end=$(date +%s.%N)
    if [ "$(cat "$dir"/record*.jsonl | grep -c '"result":"done"')" -ne 128 ]; then
      echo "line-bench: not every one of 128 units was done ($kind)" >&2
      tail -n 3 "$dir"/err* >&2
      exit 1
    fi
    times+=("$(awk "BEGIN { print $end - $start }")")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}
# The devices' delays of the station benchmark, then devices with hardly
# any: there the line's fixed cost at each start weighs most.
for delays in restart-ms=800,busy-ms=1500 restart-ms=50; do
  local_s=$(eight_stations local "$delays")
  line_s=$(eight_stations line "$delays")
  printf '8 stations x 16 devices (%s): local files %.2f s (%.0f units/hour), line database %.2f s (%.0f units/hour): %.2fx\n' \
    "$delays" "$local_s" "$(awk "BEGIN { print 128 * 3600 / $local_s }")" \
    "$line_s" "$(awk "BEGIN { print 128 * 3600 / $line_s }")" \
    "$(awk "BEGIN { print $local_s / $line_s }")"
done
