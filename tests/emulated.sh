#!/usr/bin/env bash
# The programs of a cross build (make build-arm64, build-armhf) run under
# qemu's user-mode emulation beside the same programs of this machine's own
# build: each must print what this machine's prints, with the same exit
# status, on the simulated boards and on the virtual USB bus (its own build
# of it, under the real libftdi1 of its architecture).
#
#   tests/emulated.sh ARCH CROSS_BUILD_DIR HOST_BUILD_DIR
#   tests/emulated.sh arm64 build-arm64 build
#
# The host build needs wiretest-sim, wiretest,
# wiretest-station-sim and the virtual bus (make test-ARCH builds them).
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 ARCH CROSS_BUILD_DIR HOST_BUILD_DIR" >&2; exit 2; }
arch=$1 cross=$(realpath "$2") host=$(realpath "$3")
case $arch in
  arm64) emulator=qemu-aarch64 ;;
  armhf) emulator=qemu-arm ;;
  *) echo "$0: no emulator known for $arch" >&2; exit 2 ;;
esac

passed=0
fail() { echo "emulated $arch: FAIL: $*" >&2; exit 1; }
pass() { passed=$((passed + 1)); echo "emulated $arch: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one program as NAME: NAME.out, NAME.err and NAME.status in $work.
capture() {
  local name=$1 status=0
  shift
  "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" || status=$?
  echo "$status" >"$work/$name.status"
}

# The same run of PROGRAM in both builds, with the environment settings
# given before it (VUSB= for the build's own virtual bus); both streams and
# the exit status must be the same, the lines of standard output in any
# order where unordered=1 is set for the call.
same_as_host() {
  local label=$1 settings=() program
  shift
  while [[ $1 == *=* ]]; do settings+=("$1"); shift; done
  program=$1
  shift
  capture host env "${settings[@]/#VUSB=/LD_LIBRARY_PATH=$host/vusb}" "$host/$program" "$@"
  capture cross env "${settings[@]/#VUSB=/LD_LIBRARY_PATH=$cross/vusb}" "$emulator" "$cross/$program" "$@"
  if [ "${unordered:-0}" = 1 ]; then
    for build in host cross; do
      sort "$work/$build.out" >"$work/$build.sorted"
      mv "$work/$build.sorted" "$work/$build.out"
    done
  fi
  for stream in out err status; do
    cmp -s "$work/host.$stream" "$work/cross.$stream" ||
      fail "$label: the $stream differs from this machine's:
$(diff "$work/host.$stream" "$work/cross.$stream" | head -20)"
  done
}

# --- the programs are the architecture's ----------------------------------
for program in wiretest wiretest-sim wiretest-diagnose wiretest-station wiretest-station-sim vusb/libusb-1.0.so.0; do
  machine=$(readelf -h "$cross/$program" | sed -n 's/^ *Machine: *//p')
  case $arch:$machine in
    arm64:AArch64 | armhf:ARM) ;;
    *) fail "$program is built for $machine" ;;
  esac
done
pass "the programs and the virtual bus are built for $arch ($machine)"

# --- the versions name the architecture ------------------------------------
host_version=$("$host/wiretest-station-sim" --version)
[[ $host_version == *" ($(dpkg --print-architecture))" ]] || fail "this machine's station names: $host_version"
expected=${host_version#wiretest-station }
expected="${expected% (*} ($arch)"
for program in wiretest-station wiretest-diagnose; do
  version=$("$emulator" "$cross/$program" --version)
  [ "$version" = "$program $expected" ] || fail "$program --version printed: $version"
done
pass "--version: $("$emulator" "$cross/wiretest-station" --version)"

# --- the simulated boards ----------------------------------------------------
same_as_host "wiretest-sim -n0 -delay" wiretest-sim -n0 -delay
[ "$(cat "$work/cross.status")" = 0 ] && [ "$(tail -n 1 "$work/cross.out")" = "Testing complete, errors: 0" ] ||
  fail "wiretest-sim -n0 -delay did not pass: $(tail -n 1 "$work/cross.out")"
pass "wiretest-sim -n0 -delay: the report of this machine's, $(tail -n 1 "$work/cross.out")"
# The test runs to its end on the board with an open pin: exit status 0.
same_as_host "wiretest-sim -n1 -delay" wiretest-sim -n1 -delay
[ "$(tail -n 1 "$work/cross.out")" = "Testing complete, errors: 3" ] ||
  fail "wiretest-sim -n1 -delay ended: $(tail -n 1 "$work/cross.out")"
pass "wiretest-sim -n1 -delay: the report of this machine's, $(tail -n 1 "$work/cross.out")"

# The report of the open pin, judged by the cross-built wiretest-diagnose.
capture diagnose "$emulator" "$cross/wiretest-diagnose" --quiet "$work/cross.out"
[ "$(cat "$work/diagnose.status")" = 1 ] && grep -q '^pin 3: stuck-0' "$work/diagnose.out" ||
  fail "wiretest-diagnose on the open-pin report: status $(cat "$work/diagnose.status"), $(cat "$work/diagnose.out")"
pass "wiretest-diagnose names pin 3 of the open-pin report, exit status 1"

# --- the virtual USB bus, through the architecture's libftdi1 -----------------
# A chip behind two hubs, and a board of it wired wrong: the same reports.
same_as_host "wiretest on the bus" VUSB= "WIRETEST_VUSB=chips=6010:WTARM01@1-4.2" wiretest -n0 -delay
[ "$(tail -n 1 "$work/cross.out")" = "Testing complete, errors: 0" ] ||
  fail "wiretest on a good board at 1-4.2 ended: $(tail -n 1 "$work/cross.out")"
same_as_host "wiretest on the bus, crossed board" VUSB= "WIRETEST_VUSB=chips=6010:WTARM01@1-4.2;board=swap4-5" \
  wiretest -n0 -delay
[ "$(tail -n 1 "$work/cross.out")" != "Testing complete, errors: 0" ] ||
  fail "wiretest passed a board with pins 4 and 5 crossed"
pass "wiretest on the virtual bus: the reports of this machine's for a good and a crossed board at 1-4.2"

# The station picks the board at the nested port path among others, with the
# kernel's serial driver holding the chips at first, as on a Raspberry Pi.
capture station env LD_LIBRARY_PATH="$cross/vusb" \
  "WIRETEST_VUSB=chips=6010:WTARM01@1-4,6010:WTARM02@1-4.2,6014:@1-4.3;sio=1" \
  "$emulator" "$cross/wiretest-station" --port 1-4.2 --delay --records "$work/records"
[ "$(cat "$work/station.status")" = 0 ] || fail "wiretest-station --port 1-4.2: status $(cat "$work/station.status"), $(cat "$work/station.err")"
[ "$(cat "$work/station.out")" = "PASS 1-4.2 A WTARM02 errors: 0
boards: 1, passed: 1, failed: 0, errors: 0" ] || fail "wiretest-station --port 1-4.2 printed: $(cat "$work/station.out")"
records=("$work"/records/*)
[ ${#records[@]} -eq 1 ] && grep -qF "\"version\":\"$expected\"" "${records[0]}" ||
  fail "the record does not name the version $expected: $(cat "${records[@]}")"
pass "wiretest-station on the virtual bus: PASS for the board at 1-4.2, its record's version $expected"

# --- several boards at once ---------------------------------------------------
# The station starts itself again for each board: the kernel must run the
# target's programs through qemu (binfmt_misc; make binfmt-ARCH sets it up).
"$cross/wiretest-sim" -n0 -short >/dev/null 2>&1 ||
  fail "this machine cannot start a $arch program by itself: register qemu with binfmt_misc (make binfmt-$arch)"

# The station's demo: the same results, in the order the boards finish.
unordered=1 same_as_host "wiretest-station-sim --all --fast" wiretest-station-sim --all --fast
[ "$(cat "$work/cross.status")" = 1 ] || fail "wiretest-station-sim --all --fast exited $(cat "$work/cross.status"), not 1"
pass "wiretest-station-sim --all --fast: this machine's results, $(grep '^boards:' "$work/cross.out"), exit status 1"

# A line's loop, as the service runs it: the boards already plugged in are
# tested at once, and the station ends after the second.
unordered=1 same_as_host "wiretest-station --wait --count 2" VUSB= \
  "WIRETEST_VUSB=chips=6010:WTARM01@1-4.2,6010:WTARM02@1-4.3" wiretest-station --wait --count 2 --delay
[ "$(cat "$work/cross.status")" = 0 ] || fail "wiretest-station --wait --count 2 exited $(cat "$work/cross.status"), not 0"
pass "wiretest-station --wait --count 2: this machine's results, $(grep '^boards:' "$work/cross.out")"

echo "emulated $arch: $passed passed, 0 failed"
