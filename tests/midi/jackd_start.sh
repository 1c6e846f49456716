#!/usr/bin/env bash
# Starts a JACK server of its own for the JACK tests: jackd_start.sh NAME PIDFILE.
# Exits 0 even when jackd cannot start; the tests then skip with a message.
name="$1"; pidfile="$2"
rm -f "$pidfile"
if ! command -v jackd >/dev/null; then echo "jackd not installed"; exit 0; fi
# Period of 256 frames: the dummy driver runs a cycle every 5.3 ms.
# A generous client timeout: a loaded CI machine must not get clients thrown out.
jackd -n "$name" --no-realtime -t 10000 -d dummy -r 48000 -p 256 >"$pidfile.log" 2>&1 &
echo $! >"$pidfile"
if ! JACK_DEFAULT_SERVER="$name" timeout 10 jack_wait -w >/dev/null 2>&1; then
  echo "jackd did not come up:"; cat "$pidfile.log"
fi
exit 0
