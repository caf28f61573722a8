#!/usr/bin/env bash
# Writes a sample firmware file for the simulated device: a 256 KiB image
# whose first bytes name its version the way the simulated device reads it
# ("TVIM", version 1.2.0, build 120, name release/1.2), packed by talvex-cli.
# usage: scripts/make-demo-firmware.sh TALVEX_CLI OUT_DIR
set -euo pipefail
cli=$1
out_dir=$2
mkdir -p "$out_dir"
payload="$out_dir/sample-payload.bin"
{
  printf 'TVIM\x01\x02\x00\x78\x00\x00\x00'
  printf 'release/1.2'
  head -c 5 /dev/zero
  head -c 262117 /dev/urandom
} >"$payload"
"$cli" pack --version 1.2.0 --build 120 --name release/1.2 "$payload" "$out_dir/sample-1.2.0.tvf"
rm -f "$payload"
echo "$out_dir/sample-1.2.0.tvf"
