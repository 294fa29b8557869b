#!/usr/bin/env bash
# Checksums of what the scanner carves from the bench images, for changes that must leave the
# carving byte for byte as it is (a faster rule, a new scan driver): run it before and after and
# compare the two outputs (`diff`). Each line is an image, a rule and a sector size, the number of
# messages found and the SHA-256 of the streamed listing `--json-lines --fields
# item,offset,rule,fulltext` (every message's place, rule and stored bytes, in found order).
#
#   bash bench/checksums.sh > before.txt     ... change ...     bash bench/checksums.sh | diff before.txt -
#   (environment: DATA, the folder of cached images, default build/bench-data; CLI, a scanner to
#   use instead of the Release build's)
#
# Images: the mixed, mail-heavy and deep worst-case ones of bench_scan/bench_deep, the mail-dense
# one of bench_dense, a mixed image of real-world-shaped mail and one of LF Unix mail stores
# (Maildir and mbox files); the mixed and mail-dense ones also with 4096-byte sectors.
set -euo pipefail
cd "$(dirname "$0")/.."

REL=build-release
DATA=${DATA:-build/bench-data}
TARGETS=(bench_deep)
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh
CLI=${CLI_OVERRIDE:-$CLI}

deep_image() { # NAME MIB [unix]
  local path=$DATA/$1-$2MiB.img
  [ -f "$path" ] || "$REL/bench/bench_deep" "$path" "$2" ${3:+"$3"} >/dev/null
  echo "$path"
}

# Lines and SHA-256 of standard input, in one pass.
count_and_digest() {
  python3 -c 'import hashlib, sys
h, n = hashlib.sha256(), 0
for block in iter(lambda: sys.stdin.buffer.read(1 << 20), b""):
    h.update(block)
    n += block.count(b"\n")
print(n, h.hexdigest())'
}

sum() { # IMAGE [SCAN OPTIONS...]
  local img=$1 found digest
  shift
  for rule in standard deep; do
    local opts=("$@")
    [ $rule = deep ] && opts+=(--deep)
    read -r found digest < <("$CLI" scan "$img" --json-lines --fields item,offset,rule,fulltext \
      "${opts[@]}" 2>/dev/null | count_and_digest)
    printf '%-28s %-8s %-22s %8s %s\n' "$(basename "$img")" "$rule" "${*:-default}" "$found" \
      "$digest"
  done
}

MIXED=$(image mixed 512 mixed)
DENSE=$(image dense 1024 dense)
sum "$MIXED"
sum "$MIXED" --sector-size 4096
sum "$(image mail 256 mail)"
sum "$(image headers 64 headers)"
sum "$DENSE"
sum "$DENSE" --sector-size 4096
sum "$(deep_image deepmail 256)"
sum "$(deep_image unixmail 256 unix)"
