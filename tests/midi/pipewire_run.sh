#!/usr/bin/env bash
# Runs the JACK end-to-end tests as clients of PipeWire's JACK:
# pipewire_run.sh RUNTIME_DIR TEST_PROGRAM. Exit 77 (skipped) when the daemon
# of pipewire_start.sh is not there.
rundir="$1"; shift
if ! command -v pw-jack >/dev/null || ! XDG_RUNTIME_DIR="$rundir" timeout 5 pw-jack jack_wait -c >/dev/null 2>&1; then
  echo "no PipeWire daemon (pipewire and pipewire-jack from Debian); PipeWire JACK tests skipped"
  exit 77
fi
# Under LeakSanitizer: what PipeWire's JACK library keeps at exit is its own.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan_pipewire.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
XDG_RUNTIME_DIR="$rundir" exec pw-jack "$@" --jack-server=default
