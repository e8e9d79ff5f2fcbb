#!/usr/bin/env bash
# The real program in a real X session: installs a copy of varnok with a
# configuration of two loopback encoders in a fresh folder, then runs the
# desktop end-to-end checks on it.
#
#   desktop_varnok_e2e.sh VARNOK E2E_SCRIPT OUTPUT_DIR
set -eu
varnok=${1:?}
e2e=${2:?}
outdir=${3:?}
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
mkdir -p "$folder/Studio Desk"
install -m 0755 "$varnok" "$folder/Studio Desk/varnok"
cat >"$folder/Studio Desk/varnok.ini" <<'INI'
[General]
EncoderCount=2
[Inputs]
Socket=0
[Encoder1]
Name=Studio A
Host=127.0.0.20
Port=1024
[Encoder2]
Name=Studio B
Host=127.0.0.21
Port=1024
Enabled=0
INI
"$e2e" "$folder/Studio Desk/varnok" "$outdir"
