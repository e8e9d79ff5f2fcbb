#!/usr/bin/env bash
# Lays out the demo folder: a copy of the program and the example files.
set -euo pipefail
build=${1:-build}
demo=${2:-$build/demo}
mkdir -p "$demo"
cp -f "$build/varnok" "$demo/varnok"
cp -f examples/varnok.ini examples/varnok.txt "$demo/"
for f in examples/varnok.vip examples/varnok.ban examples/news.ini examples/nowplaying.txt; do
  [ -f "$f" ] && cp -f "$f" "$demo/"
done
echo "Demo folder ready: $demo"
