#!/usr/bin/env bash
# Stops the PipeWire daemon that pipewire_start.sh started: pipewire_stop.sh PIDFILE.
pidfile="$1"
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
kill "$pid" 2>/dev/null
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -9 "$pid" 2>/dev/null
rm -f "$pidfile"
exit 0
