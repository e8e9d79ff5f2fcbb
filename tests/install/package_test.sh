#!/usr/bin/env bash
# Checks the Debian package that "make package" built: its control data and
# contents, the system unit (systemd-analyze verify, its exposure score; also
# with the example drop-in for a serial encoder), lintian, and the packaged
# program: its readiness and watchdog messages, and its whole job under the
# unit's restrictions.
#   package_test.sh PACKAGE_BUILD_DIR TEST_BUILD_DIR
# TEST_BUILD_DIR holds the test programs (tests/install/service_notify_tests,
# restricted_run_tests and restricted_launcher: a plain build, not a
# sanitized one).
set -euo pipefail

pkg_dir=${1:?package build folder}
test_dir=${2:?build folder with the test programs}
started=$(date +%s)
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

shopt -s nullglob
debs=("$pkg_dir"/varnok_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one varnok_*.deb in $pkg_dir, found ${#debs[@]}" >&2; exit 1; }
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "varnok_${version}_${arch}.deb" ] && pass "file name $(basename "$deb")" ||
  fail "file name $(basename "$deb") is not varnok_${version}_${arch}.deb"

work=$(mktemp -d /tmp/varnok-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root

# --- Control data --------------------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
# From dpkg-shlibdeps (the libraries the program links), plus what is
# loaded or run without a link: Qt's platform plugins, adduser in postinst.
for dep in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libc-ares2 libsystemd0 libmicrohttpd12 \
  libicu72 libxml2 libmosquitto1 libssl3 \
  qt6-qpa-plugins adduser; do
  sed 's/, /\n/g; s/ ([^)]*)//g' <<<"$depends" | grep -Fxq -- "$dep" || fail "Depends lacks $dep: $depends"
done
pass "Depends: $depends"

dpkg-deb -e "$deb" "$work/control"
expected_conffiles=$'/etc/varnok/varnok.ini\n/etc/varnok/varnok.ban\n/etc/varnok/varnok.vip\n/etc/varnok/varnok.txt'
[ "$(cat "$work/control/conffiles")" = "$expected_conffiles" ] && pass "conffiles" ||
  fail "conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  if [ -x "$work/control/$script" ] && sh -n "$work/control/$script"; then
    pass "$script"
  else
    fail "$script missing, not executable or not valid sh"
  fi
done

# --- Contents ------------------------------------------------------------
contents=$(dpkg-deb --contents "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }')
need() {
  grep -Fxq -- "$1" <<<"$contents" && pass "holds $1" || fail "does not hold $1"
}
need ./usr/lib/varnok/varnok
need "./usr/bin/varnok -> ../lib/varnok/varnok"
need ./usr/bin/varnokctl
for f in varnok.ini varnok.ban varnok.vip varnok.txt; do
  need "./etc/varnok/$f"
  need "./usr/lib/varnok/$f -> /etc/varnok/$f"
done
unit_path=$(grep -Eo '^\./(usr/)?lib/systemd/system/varnok\.service$' <<<"$contents" || true)
[ -n "$unit_path" ] && pass "holds $unit_path" || fail "holds no lib/systemd/system/varnok.service"
need ./usr/share/man/man1/varnok.1.gz
need ./usr/share/man/man1/varnokctl.1.gz
need ./usr/share/applications/varnok.desktop
need ./usr/share/icons/hicolor/scalable/apps/varnok.svg
need ./usr/share/icons/hicolor/64x64/apps/varnok.png
need ./usr/share/varnok/autostart/varnok-autostart.desktop
need ./usr/share/doc/varnok/copyright
need ./usr/share/doc/varnok/changelog.gz
for doc in README.md configuration.md operations.md sites.md; do
  need "./usr/share/doc/varnok/$doc"
done
need ./usr/share/doc/varnok/examples/serial-device.conf
need ./usr/share/doc/varnok/examples/varnok.texts

dpkg-deb -x "$deb" "$root"
# The access lists as shipped: every line of 1 to 15 characters is an
# address, so these must be all there is: nobody but this machine.
entries() { awk 'length($0) > 0 && length($0) < 16' "$root/etc/varnok/$1" | tr '\n' ' '; }
[ "$(entries varnok.ban)" = "* " ] && pass "varnok.ban refuses everyone" ||
  fail "varnok.ban holds: $(entries varnok.ban)"
[ "$(entries varnok.vip)" = "127.0.0.1 " ] && pass "varnok.vip serves this machine" ||
  fail "varnok.vip holds: $(entries varnok.vip)"
# The configuration as shipped: every key commented out, so no encoder is
# served and now playing, the page and the broker are off.
ini=$root/etc/varnok/varnok.ini
set_keys=$(grep -Ev '^[[:space:]]*(;|\[|$)' "$ini" || true)
[ -z "$set_keys" ] && pass "varnok.ini sets nothing" || fail "varnok.ini sets: $set_keys"
for key in EncoderCount ListenOnPort ReplaceWaiting HttpPort Broker File; do
  grep -q "^;$key=" "$ini" || fail "varnok.ini does not show $key"
done
# Started with the shipped files, the program logs no error. As root in a
# network namespace of its own when it can have one, so that port 23 is
# surely free; else on this machine's port 23.
prod=$work/production
mkdir -p "$prod/run"
chmod 700 "$prod/run"
cp "$root/usr/lib/varnok/varnok" "$prod/"
cp "$root"/etc/varnok/varnok.{ini,ban,vip,txt} "$prod/"
netns=()
if unshare -n true 2>/dev/null; then netns=(unshare -n); fi
( cd "$prod" && VARNOK_HEADLESS=1 XDG_RUNTIME_DIR=$prod/run timeout -s TERM 2 \
    "${netns[@]}" ./varnok >"$work/production.log" 2>&1 ) || true
if grep -q 'Listening on port 23' "$work/production.log" &&
  ! grep -Eiq 'error|cannot|refused|ignored|not found|off -' "$work/production.log"; then
  pass "the shipped configuration starts without an error"
else
  cat "$work/production.log" >&2
  fail "the shipped configuration does not start cleanly"
fi

# --- The system unit -----------------------------------------------------
# verify runs offline (systemd need not be running). It checks that the
# command exists, so the unit is checked with ExecStart pointing into the
# unpacked tree, and the manual pages it names are looked up there too. It
# reports problems but exits 0 for most of them: any output is a failure.
unit=${unit_path#./}
mkdir -p "$work/unit"
grep -qx 'ExecStart=/usr/bin/varnok' "$root/$unit" && pass "ExecStart=/usr/bin/varnok" ||
  fail "ExecStart is not /usr/bin/varnok"
sed "s|^ExecStart=/usr/bin/varnok\$|ExecStart=$root/usr/bin/varnok|" "$root/$unit" >"$work/unit/varnok.service"
verify() { MANPATH=$root/usr/share/man systemd-analyze verify "$1" 2>&1; }
if out=$(verify "$work/unit/varnok.service") && [ -z "$out" ]; then
  pass "systemd-analyze verify"
else
  fail "systemd-analyze verify: $out"
fi
# The check itself must see a broken unit.
sed 's/^Type=notify$/Type=notfy/' "$work/unit/varnok.service" >"$work/unit/broken.service"
[ -n "$(verify "$work/unit/broken.service" || true)" ] && pass "verify sees a broken unit" ||
  fail "systemd-analyze verify accepts a unit with Type=notfy: the check proves nothing"
unit_failures=$failures
for key in Type=notify User=varnok Environment=VARNOK_HEADLESS=1 \
  Environment=XDG_RUNTIME_DIR=/run/varnok RuntimeDirectory=varnok \
  AmbientCapabilities=CAP_NET_BIND_SERVICE CapabilityBoundingSet=CAP_NET_BIND_SERVICE \
  NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes PrivateMounts=yes \
  ProtectProc=invisible ProcSubset=pid RemoveIPC=yes RestrictNamespaces=yes RestrictRealtime=yes \
  LockPersonality=yes MemoryDenyWriteExecute=yes SystemCallFilter=@system-service \
  'SystemCallFilter=~@privileged @resources' SystemCallErrorNumber=EPERM \
  SystemCallArchitectures=native Restart=on-failure StartLimitIntervalSec=120 StartLimitBurst=5; do
  grep -qx -- "$key" "$root/$unit" || fail "the unit lacks $key"
done
for key in 'WatchdogSec=[1-9][0-9]*s?' 'MemoryMax=[1-9][0-9]*[KMG]?' 'TasksMax=[1-9][0-9]*' \
  'LimitNOFILE=[1-9][0-9]*'; do
  grep -Eqx -- "$key" "$root/$unit" || fail "the unit lacks $key"
done
[ "$failures" -eq "$unit_failures" ] && pass "unit settings"

# The exposure score of "systemd-analyze security": at most 2.0.
security() { systemd-analyze security --offline=true "$1" 2>&1; }
score_of() { sed -n 's/^.*Overall exposure level for [^:]*: \([0-9][0-9.]*\).*$/\1/p' <<<"$1"; }
exposure() { score_of "$(security "$1")"; }
above2() { awk -v s="$1" 'BEGIN { exit !(s > 2.0) }'; }
report=$(security "$work/unit/varnok.service")
score=$(score_of "$report")
if [ -n "$score" ] && ! above2 "$score"; then
  pass "exposure $score"
else
  fail "exposure ${score:-not found} is above 2.0"
fi
# The check itself must see a weaker unit: without the system call filter
# and the /proc protections.
sed -E '/^(SystemCallFilter|SystemCallArchitectures|ProtectProc|ProcSubset)=/d' \
  "$work/unit/varnok.service" >"$work/unit/loose.service"
loose=$(exposure "$work/unit/loose.service")
[ -n "$loose" ] && above2 "$loose" && pass "a unit without the filter scores $loose" ||
  fail "a unit without the filter scores ${loose:-nothing}: the check proves nothing"

# The example drop-in for a serial encoder, applied as an administrator
# would: verify and security read <unit folder>/varnok.service.d/ beside the
# unit they are given. With it the unit must still verify and score 2.0 or
# better, and must really be opened to the drop-in's device and no further.
dropin=$root/usr/share/doc/varnok/examples/serial-device.conf
with_dropin() { # FOLDER DROP-IN
  mkdir -p "$1/varnok.service.d"
  cp "$work/unit/varnok.service" "$1/"
  cp "$2" "$1/varnok.service.d/serial.conf"
}
dropin_failures=$failures
for key in PrivateDevices=no DevicePolicy=closed 'DeviceAllow=/dev/[^ ]+ rw' SupplementaryGroups=dialout; do
  grep -Eqx -- "$key" "$dropin" || fail "the serial drop-in lacks $key"
done
device=$(sed -n 's|^DeviceAllow=\(/dev/[^ ]*\) rw$|\1|p' "$dropin")
with_dropin "$work/serial" "$dropin"
if ! out=$(verify "$work/serial/varnok.service") || [ -n "$out" ]; then
  fail "systemd-analyze verify with the serial drop-in: $out"
fi
sed 's/^DevicePolicy=closed$/DevicePolicy=closd/' "$dropin" >"$work/broken-serial.conf"
with_dropin "$work/serial-broken" "$work/broken-serial.conf"
[ -n "$(verify "$work/serial-broken/varnok.service" || true)" ] ||
  fail "verify accepts a drop-in with DevicePolicy=closd: it does not read the drop-in"
serial_report=$(security "$work/serial/varnok.service")
serial=$(score_of "$serial_report")
if [ -z "$serial" ] || above2 "$serial"; then
  fail "exposure with the serial drop-in ${serial:-not found} is above 2.0"
fi
grep -q 'PrivateDevices=.*Service has no access to hardware devices' <<<"$report" ||
  fail "the unit alone is rated as seeing hardware devices: the drop-in check proves nothing"
allowed=$(grep 'DeviceAllow=' <<<"$serial_report" || true)
if ! grep -q 'PrivateDevices=.*Service potentially has access to hardware devices' <<<"$serial_report" ||
  [[ "$allowed " != *" ${device:-no device}:rw "* ]]; then
  fail "the serial drop-in did not take effect: $(grep -E 'PrivateDevices=|DeviceAllow=' <<<"$serial_report")"
fi
[ "$failures" -eq "$dropin_failures" ] &&
  pass "the serial drop-in for $device verifies and scores $serial (the unit alone $score)"

# --- lintian -------------------------------------------------------------
lint_status=0
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || lint_status=$?
lint=$(grep -v '^running with root privileges' <<<"$lint" || true)
if [ "$lint_status" -eq 0 ]; then
  pass "lintian${lint:+: $lint}"
else
  fail "lintian (status $lint_status): $lint"
fi

# --- The packaged program speaks the service protocol --------------------
# Then again, and does its whole job, under the unit's restrictions
# (restricted_launcher applies them without systemd; see the test files).
program=$root/usr/lib/varnok/varnok
run_tests() {
  local what=$1 log=$work/$2.log
  shift 2
  if env VARNOK_PROGRAM="$program" "$@" --gtest_brief=1 >"$log" 2>&1; then
    pass "$what"
  else
    cat "$log" >&2
    fail "$what"
  fi
}
tests=$test_dir/tests/install
run_tests "readiness and watchdog of the packaged program" notify "$tests/service_notify_tests"
run_tests "readiness and watchdog under the unit's restrictions" notify-restricted \
  VARNOK_UNIT="$root/$unit" "$tests/service_notify_tests"
run_tests "producers, encoders, hand-off, status page and broker under the unit's restrictions" \
  restricted VARNOK_UNIT="$root/$unit" "$tests/restricted_run_tests"
grep -h '^not shown on this machine' "$work/restricted.log" || true

echo "package test: $((failures)) failure(s), $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ]
