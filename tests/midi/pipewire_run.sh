#!/usr/bin/env bash
# Runs the JACK end-to-end tests as clients of PipeWire's JACK:
# pipewire_run.sh RUNTIME_DIR TEST_PROGRAM [ARGS]. Exit 77 (skipped) when the daemon
# of pipewire_start.sh is not there.
rundir="$1"; shift
if ! command -v pw-jack >/dev/null || ! XDG_RUNTIME_DIR="$rundir" timeout 5 pw-jack jack_wait -c >/dev/null 2>&1; then
  echo "no PipeWire daemon (pipewire and pipewire-jack from Debian); PipeWire JACK tests skipped"
  exit 77
fi
# Under LeakSanitizer: what PipeWire's JACK library keeps at exit is its own.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan_pipewire.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
# Each test in a process of its own: under PipeWire 0.3.65 a client whose
# port was linked to a peer that then left delivers nothing to a peer that
# comes later, which would make every test depend on the ones before it.
program="$1"; shift
tests=$(XDG_RUNTIME_DIR="$rundir" pw-jack "$program" --gtest_list_tests --jack-server=default "$@" |
        awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
status=0
for t in $tests; do
  XDG_RUNTIME_DIR="$rundir" pw-jack "$program" --jack-server=default --gtest_filter="$t" "$@" || status=1
done
exit $status
