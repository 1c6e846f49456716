#!/usr/bin/env bash
# Starts a PipeWire daemon of its own for the JACK tests under PipeWire's JACK:
# pipewire_start.sh RUNTIME_DIR PIDFILE. No sound card, session bus or
# session manager is needed; JACK clients connect to it through pw-jack.
# Exits 0 even when PipeWire cannot start; the tests then skip with a message.
rundir="$1"; pidfile="$2"
rm -rf "$rundir"; mkdir -p "$rundir"; chmod 700 "$rundir"
rm -f "$pidfile"
if ! command -v pipewire >/dev/null || ! command -v pw-jack >/dev/null; then
  echo "pipewire or pw-jack not installed"; exit 0
fi
XDG_RUNTIME_DIR="$rundir" pipewire >"$pidfile.log" 2>&1 &
echo $! >"$pidfile"
for _ in $(seq 50); do
  XDG_RUNTIME_DIR="$rundir" timeout 2 pw-jack jack_wait -c >/dev/null 2>&1 && exit 0
  sleep 0.2
done
echo "PipeWire did not come up:"; cat "$pidfile.log"
exit 0
