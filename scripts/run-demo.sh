#!/usr/bin/env bash
# Starts the demo: the encoder simulators the demo configuration points at,
# then Varnok itself (desktop window when a display is there, headless
# otherwise). Ctrl+C ends everything.
set -euo pipefail
demo=${1:-build-run/demo}
build=$(dirname "$demo")
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

if [ -x "$build/varnok-encoder-sim" ]; then
  for port in 2401 2402; do
    "$build/varnok-encoder-sim" --port "$port" >> "$demo/encoder-$port.log" 2>&1 &
    pids+=($!)
  done
  # Studio C confirms each command: its simulator answers every line with OK.
  "$build/varnok-encoder-sim" --port 2403 --reply ok >> "$demo/encoder-2403.log" 2>&1 &
  pids+=($!)
  # Studio D takes UECP: its simulator decodes each frame, lists the element
  # in encoder-2404.elements and acknowledges it.
  "$build/varnok-encoder-sim" --port 2404 --protocol uecp --reply ok \
    --elements "$demo/encoder-2404.elements" >> "$demo/encoder-2404.log" 2>&1 &
  pids+=($!)
  echo "Encoder simulators on 127.0.0.1:2401, :2402, :2403 (answering OK) and :2404" \
       "(UECP) (logs in $demo/encoder-*.log)"
fi
echo "Varnok listens on port 2323. Try:  printf 'RT1=Hello\\r' | nc -N 127.0.0.1 2323"
echo "Now playing: edit $demo/nowplaying.txt (\"Artist - Title\") and watch the encoders' logs."
cd "$demo"
./varnok
