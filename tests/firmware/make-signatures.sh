#!/usr/bin/env bash
# Signs the sample firmware file with the real minisign, at build time, for
# the signature tests: so a Windows build run under Wine gets signatures made
# on Linux. Writes into OUT_DIR a trusted key pair and another one, the
# sample signed with the trusted key both ways (prehashed and legacy), the
# sample signed with the other key, and another file signed with the trusted
# key. Without minisign it writes only OUT_DIR/stamp, and the tests say so.
#
# usage: make-signatures.sh OUT_DIR SAMPLE.tvf
set -euo pipefail

out=${1:?usage: make-signatures.sh OUT_DIR SAMPLE.tvf}
sample=${2:?usage: make-signatures.sh OUT_DIR SAMPLE.tvf}
rm -rf "$out"
mkdir -p "$out"
if ! command -v minisign >/dev/null; then
  echo "make-signatures: minisign missing (scripts/install-deps.sh installs it); the signature tests will skip" >&2
  touch "$out/stamp"
  exit 0
fi
cd "$out"
# The trusted key's id starts with a zero nibble, which minisign prints
# without it: the tests then always meet the shorter id. One key in sixteen
# has one.
for _ in $(seq 400); do
  rm -f trusted.pub trusted.key
  minisign -G -W -p trusted.pub -s trusted.key >/dev/null
  id=$(head -n 1 trusted.pub)
  id=${id##* }
  [ ${#id} -lt 16 ] && break
done
minisign -G -W -p other.pub -s other.key >/dev/null
cp "$sample" sample.tvf
minisign -S -s trusted.key -m sample.tvf -t "release 1.2.3 for the Vantor" >/dev/null
minisign -S -l -s trusted.key -m sample.tvf -x sample.tvf.legacy-minisig -t "legacy signature" >/dev/null
minisign -S -s other.key -m sample.tvf -x sample.tvf.other-key-minisig -t "release 1.2.3" >/dev/null
printf 'a different firmware file\n' >other.bin
minisign -S -s trusted.key -m other.bin -t "release 1.2.3 for the Vantor" >/dev/null
touch stamp
