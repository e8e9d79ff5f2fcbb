#!/usr/bin/env bash
# Runs one fuzz target on its seeds.
#
#   fuzz/run.sh [--keep] TARGET SEED_DIR WORK_DIR [libFuzzer options...]
#
# New inputs go to WORK_DIR/corpus, never to SEED_DIR (the seeds in the
# repository stay as written); that folder is emptied first unless --keep is
# given, so a short run sees the same inputs every time while a long run can
# go on from the corpus of the last one. Crash reproducers land in WORK_DIR.
# A run also fails, as on a crash, when its process grows past 2 GiB, asks
# for more than 256 MiB at once, or spends more than 10 s on one input.
set -euo pipefail

keep=0
if [ "${1:-}" = "--keep" ]; then
  keep=1
  shift
fi
if [ $# -lt 3 ]; then
  echo "usage: $0 [--keep] TARGET SEED_DIR WORK_DIR [libFuzzer options...]" >&2
  exit 2
fi
target=$1 seeds=$2 work=$3
shift 3

[ "$keep" -eq 1 ] || rm -rf "$work/corpus"
mkdir -p "$work/corpus"
exec "$target" "$work/corpus" "$seeds" -artifact_prefix="$work/" \
  -rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=10 -print_final_stats=1 "$@"
