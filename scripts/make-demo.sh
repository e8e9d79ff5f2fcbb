#!/usr/bin/env bash
# Lays out the demo folder: a fresh copy of the program, and the example
# files that are not there yet, so that edits made in the demo folder are
# kept. With --reset the example files are copied again (edits are lost) and
# the encoder simulators' logs are emptied.
set -euo pipefail
build=${1:-build-run}
demo=${2:-$build/demo}
reset=${3:-}
mkdir -p "$demo"
cp -f "$build/varnok" "$demo/varnok"
for f in examples/varnok.ini examples/varnok.txt examples/varnok.vip examples/varnok.ban \
         examples/news.ini examples/nowplaying.txt examples/varnok.texts; do
  [ -f "$f" ] || continue
  target="$demo/$(basename "$f")"
  if [ "$reset" = "--reset" ] || [ ! -e "$target" ]; then
    cp -f "$f" "$target"
  fi
done
if [ "$reset" = "--reset" ]; then
  rm -f "$demo"/encoder-*.log
  echo "Demo folder laid out afresh: $demo"
else
  echo "Demo folder ready: $demo (your edits there are kept; make demo-reset starts over)"
fi
