#!/usr/bin/env bash
# Checks the Debian package for real on this machine: what it holds, lintian,
# an install with apt (which pulls in the libraries it depends on), the
# installed wiretest and its man page, and a purge that leaves none of its
# files or folders behind. Needs root (CI, or sudo by hand), and
# `make package` first, which also installs lintian and man-db.
#
#   packaging/check_deb.sh [build/wiretest_<version>_amd64.deb]
#   packaging/check_deb.sh build-arm64/wiretest_<version>_arm64.deb
#
# A package of another architecture (make package-arm64, package-armhf) is
# installed beside this machine's libraries by multiarch, and its programs
# run under qemu's user-mode emulation, on the target's libraries that apt
# installed for its Depends.
#
# The package must not be installed already: the check installs and purges it.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check_deb: FAIL: $*" >&2; exit 1; }
step() { echo "check_deb: $*"; }

if [ $# -ge 1 ]; then
  deb=$1
else
  debs=(build/wiretest_*_amd64.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "name the package to check (found: ${debs[*]})"
  deb=${debs[0]}
fi
[ -f "$deb" ] || fail "no such package: $deb"
deb=$(realpath "$deb")
build_dir=$(dirname "$deb")

arch=$(dpkg-deb -f "$deb" Architecture)
[[ $(basename "$deb") == *_"$arch".deb ]] || fail "$deb says Architecture: $arch"
package=wiretest:$arch
emulate=() # what runs the package's programs here
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  case $arch in
    arm64) emulate=(qemu-aarch64) ;;
    armhf) emulate=(qemu-arm) ;;
    *) fail "no emulator known for $arch" ;;
  esac
  command -v "${emulate[0]}" >/dev/null || fail "no ${emulate[0]} (make deps-$arch installs it)"
  step "a package for $arch: its programs run under ${emulate[*]}"
fi

# Every file the package holds, and nothing else.
expected_files="usr/bin/wiretest
usr/bin/wiretest-diagnose
usr/bin/wiretest-station
usr/lib/systemd/system/wiretest-station.service
usr/lib/udev/rules.d/60-wiretest.rules
usr/share/doc/wiretest/changelog.gz
usr/share/doc/wiretest/copyright
usr/share/man/man1/wiretest-diagnose.1.gz
usr/share/man/man1/wiretest-station.1.gz
usr/share/man/man1/wiretest.1.gz
usr/share/wiretest/grafana/wiretest-station-dashboard.json
usr/share/wiretest/prometheus/wiretest-station-rules.yml"

# --- what the package holds ----------------------------------------------
listing=$(dpkg-deb -c "$deb")
# Sorted byte by byte: wiretest-diagnose.1.gz before wiretest.1.gz in any locale.
files=$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing" | LC_ALL=C sort)
dirs=$(awk '$1 ~ /^d/ { sub(/^\.\//, "", $6); sub(/\/$/, "", $6); if ($6 != "") print $6 }' <<<"$listing")
[ "$files" = "$expected_files" ] || fail "the package holds
$files
instead of
$expected_files"

member() { dpkg-deb --fsys-tarfile "$deb" | tar -xO "./$1"; }
for page in $(grep '^usr/share/man/' <<<"$files"); do
  source=packaging/$(basename "$page" .gz)
  member "$page" | gzip -dc | cmp -s - "$source" || fail "$page is not $source gzipped"
done
# The copyright file carries LICENSE's text as its Expat license paragraph.
member usr/share/doc/wiretest/copyright | sed -n '/^License: Expat$/,$p' | tail -n +2 |
  sed 's/^ //; s/^\.$//' | cmp -s - <(sed -n '/^Permission/,$p' LICENSE) ||
  fail "the copyright file does not carry the text of LICENSE"
member usr/share/doc/wiretest/changelog.gz | gzip -dc |
  grep -q "^wiretest ($(dpkg-deb -f "$deb" Version)) " || fail "the changelog's first entry is not this version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libftdi1-2; do
  grep -q "\\b$library\\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
# The database libraries, loaded only by the runs that use
# them, where the build has them (not the arm builds).
recommends=$(dpkg-deb -f "$deb" Recommends)
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  grep -q '\blibsqlite3-0\b' <<<"$depends" || fail "Depends lacks libsqlite3-0: $depends"
  grep -q '\blibpq5\b' <<<"$recommends" || fail "Recommends lacks libpq5: $recommends"
fi
# The service runs the installed station, and lets the boards under test
# finish when it is stopped.
unit=$(member usr/lib/systemd/system/wiretest-station.service)
for line in "ExecStart=/usr/bin/wiretest-station --wait --records /var/lib/wiretest/records" \
            KillMode=mixed KillSignal=SIGTERM; do
  grep -qxF "$line" <<<"$unit" || fail "wiretest-station.service lacks $line"
done
step "contents as expected; Architecture: $arch; Depends: $depends; Recommends: $recommends"

# --- maintainer scripts, in a mount namespace of their own -----------------
# There a socket at /run/udev/control stands for a running udev and
# /run/systemd/system for a running systemd, and a udevadm whose trigger
# fails, a systemctl and a deb-systemd-invoke that fail record their calls:
# the scripts must reload udev's rules and systemd's units after install and
# removal, restart a running service after an upgrade, stop it before a
# removal, do nothing on purge, never enable the service, and never fail.
work=$(mktemp -d)
dpkg-deb -e "$deb" "$work/control"
printf '#!/bin/sh\necho "udevadm $*" >>"%s/calls"\n[ "$1" != trigger ]\n' "$work" >"$work/udevadm"
for command in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$command" "$work" >"$work/$command"
done
chmod +x "$work/udevadm" "$work/systemctl" "$work/deb-systemd-invoke"
reload="udevadm control --reload-rules
udevadm trigger --subsystem-match=usb --attr-match=idVendor=0403
systemctl --system daemon-reload"
if unshare -m true 2>/dev/null; then
  while IFS='|' read -r script expected; do
    : >"$work/calls"
    PATH=$work:$PATH WORK=$work RUN=$script unshare -m sh -ec 'mount -t tmpfs none /run
      mkdir -p /run/udev /run/systemd/system
      perl -MIO::Socket::UNIX -e "IO::Socket::UNIX->new(Local => q(/run/udev/control), Listen => 1) or die"
      sh "$WORK/control/${RUN%% *}" ${RUN#* }' </dev/null || fail "$script failed where udev and systemd run"
    expected=$(printf '%b' "${expected//RELOAD/$reload}")
    [ "$(cat "$work/calls")" = "$expected" ] || fail "$script called: $(cat "$work/calls")"
  done <<'RUNS'
postinst configure|RELOAD
postinst configure 0.9.0|RELOAD\ndeb-systemd-invoke try-restart wiretest-station.service
prerm upgrade 1.0.1|
prerm remove|deb-systemd-invoke stop wiretest-station.service
postrm upgrade 1.0.1|
postrm remove|RELOAD
postrm purge|
RUNS
  step "maintainer scripts reload udev's rules and systemd's units, restart the service on an upgrade, stop it on a removal, never enable it, and never fail"
else
  step "maintainer scripts with udev: not checked, no mount namespace here (unshare -m refused)"
fi
rm -rf "$work"

# --- lintian: errors and warnings fail; notes (I:) are shown --------------
lintian --display-info --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
  fail "lintian"
step "lintian: no error, no warning"

# --- install with apt ------------------------------------------------------
status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = not-installed ] ||
  fail "$package is on this machine already ($status); purge it first"
dirs_before=$(for d in $dirs; do [ -d "/$d" ] && echo "$d"; done || true)

# Container images often tell dpkg to leave out /usr/share/man and
# /usr/share/doc. Re-include the package's own files for this install, so
# that what a normal machine gets is what is checked, and say so.
excluded=$(grep -hs '^path-exclude' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* |
           grep -E 'usr/share/(man|doc)' || true)
if [ -n "$excluded" ]; then
  step "dpkg here excludes: $(tr '\n' ' ' <<<"$excluded"); re-including wiretest's own man pages and docs"
fi
apt_options=(-y -q -o DPkg::Lock::Timeout=600
             -o Dpkg::Options::=--path-include=/usr/share/man/man1/wiretest*
             -o Dpkg::Options::=--path-include=/usr/share/doc/wiretest/*)

installed=0
purge_on_failure() { [ "$installed" = 0 ] || apt-get purge "${apt_options[@]}" "$package" >/dev/null 2>&1 || true; }
trap purge_on_failure EXIT
DEBIAN_FRONTEND=noninteractive apt-get install "${apt_options[@]}" "$deb" </dev/null
installed=1
for file in $files; do
  [ -f "/$file" ] || fail "not installed: /$file"
done
step "installed with apt: $(dpkg-query -W -f='${Package}:${Architecture} ${Version} ${db:Status-Status}' "$package")"

# The service is there for systemd, and not enabled.
enabled=$(find /etc/systemd/system -name 'wiretest-station.service' 2>/dev/null || true)
[ -z "$enabled" ] || fail "the install enabled the service: $enabled"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /usr/lib/systemd/system/wiretest-station.service ||
    fail "systemd-analyze verify wiretest-station.service"
  step "wiretest-station.service: not enabled; systemd-analyze verify finds nothing"
else
  step "wiretest-station.service: not enabled; no systemd-analyze here to verify it"
fi

# --- the installed tool ----------------------------------------------------
[ "$(command -v wiretest)" = /usr/bin/wiretest ] || fail "wiretest on PATH is $(command -v wiretest)"
# On an empty virtual USB bus from the same build (build/vusb), never on this
# machine's own USB stack: a board plugged in here must not be reset and
# driven by a check. The run ends at the listing with exit status 255 (-1)
# and one error line.
vusb_dir=$build_dir/vusb
[ -f "$vusb_dir/libusb-1.0.so.0" ] || fail "no virtual USB bus in $vusb_dir (make package builds it)"
run_status=0
errors=$(mktemp)
run_out=$(LD_LIBRARY_PATH="$vusb_dir" WIRETEST_VUSB="chips=" "${emulate[@]}" /usr/bin/wiretest -n0 </dev/null 2>"$errors") || run_status=$?
run_err=$(cat "$errors"); rm -f "$errors"
[ "$run_status" -eq 255 ] || fail "wiretest -n0 exited $run_status, not 255"
[ -z "$run_out" ] || fail "wiretest -n0 printed on standard output: $run_out"
[ "$run_err" = "ERROR: No FTDI devices found" ] || fail "wiretest -n0 printed on standard error: $run_err"
step "installed wiretest -n0: '$run_err', exit status $run_status"

man_path=$(man -w wiretest) || fail "man -w wiretest finds no page"
[ "$man_path" = /usr/share/man/man1/wiretest.1.gz ] || fail "man -w wiretest: $man_path"
step "man -w wiretest: $man_path"

# The installed wiretest-diagnose on a saved report: the demo board whose low
# pin 3 is open (build/wiretest-sim -n1) fails, and pin 3 is named; an empty
# report cannot be judged. Its man page is found.
report=$(mktemp)
"${emulate[@]}" "$build_dir/wiretest-sim" -n1 -delay >"$report" 2>&1 || fail "$build_dir/wiretest-sim gave no report to diagnose"
diagnose_status=0
diagnose_out=$("${emulate[@]}" /usr/bin/wiretest-diagnose --quiet "$report" 2>/dev/null) || diagnose_status=$?
rm -f "$report"
[ "$diagnose_status" -eq 1 ] || fail "wiretest-diagnose on the open-pin report exited $diagnose_status, not 1"
grep -q '^pin 3: stuck-0' <<<"$diagnose_out" && grep -q '^verdict: FAIL' <<<"$diagnose_out" ||
  fail "wiretest-diagnose on the open-pin report printed: $diagnose_out"
diagnose_status=0
diagnose_out=$("${emulate[@]}" /usr/bin/wiretest-diagnose --quiet </dev/null 2>/dev/null) || diagnose_status=$?
[ "$diagnose_status" -eq 2 ] || fail "wiretest-diagnose on no input exited $diagnose_status, not 2"
[ "$diagnose_out" = "verdict: INCOMPLETE (no rows: the test did not run)" ] ||
  fail "wiretest-diagnose on no input printed: $diagnose_out"
man_path=$(man -w wiretest-diagnose) || fail "man -w wiretest-diagnose finds no page"
[ "$man_path" = /usr/share/man/man1/wiretest-diagnose.1.gz ] || fail "man -w wiretest-diagnose: $man_path"
step "installed wiretest-diagnose: exit status 1 naming pin 3 on a saved report of the open-pin board, 2 on no input; man -w: $man_path"

# The installed station: its version, and a usage error before any device
# call (a run would reach for the chips of this machine).
station_version=$("${emulate[@]}" /usr/bin/wiretest-station --version) || fail "wiretest-station --version failed"
[[ "$station_version" == "wiretest-station "*" ($arch)" ]] || fail "wiretest-station --version printed: $station_version"
station_status=0
"${emulate[@]}" /usr/bin/wiretest-station >/dev/null 2>&1 || station_status=$?
[ "$station_status" -eq 2 ] || fail "wiretest-station without a target exited $station_status, not 2"
# A board at a nested port path on the virtual bus, found and tested by
# location through the installed libftdi1.
station_out=$(LD_LIBRARY_PATH="$vusb_dir" WIRETEST_VUSB="chips=6010:WTPKG01@1-4.2" \
  "${emulate[@]}" /usr/bin/wiretest-station --port 1-4.2 --delay </dev/null 2>&1) || fail "wiretest-station on the virtual bus: $station_out"
[ "$station_out" = "PASS 1-4.2 A WTPKG01 errors: 0
boards: 1, passed: 1, failed: 0, errors: 0" ] || fail "wiretest-station on the virtual bus printed: $station_out"
man_path=$(man -w wiretest-station) || fail "man -w wiretest-station finds no page"
[ "$man_path" = /usr/share/man/man1/wiretest-station.1.gz ] || fail "man -w wiretest-station: $man_path"
step "installed wiretest-station: $station_version, exit status 2 without a target, PASS for a board at 1-4.2 on the virtual bus; man -w: $man_path"

# --- purge: none of its files or folders remains ---------------------------
DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_options[@]}" "$package" </dev/null
installed=0
status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = not-installed ] || fail "after the purge dpkg still knows $package ($status)"
for file in $files; do
  [ ! -e "/$file" ] || fail "left after the purge: /$file"
done
for dir in $dirs; do
  grep -qxF "$dir" <<<"$dirs_before" || [ ! -e "/$dir" ] || fail "left after the purge: /$dir/"
done
step "purged: none of the package's files or folders remains"
