#!/usr/bin/env bash
# Runs every benchmark program of a build; each prints lines of the form
#   name: value unit (target: ...)
# with the peer it is compared with measured in the same run.
set -uo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
export KALVEX_BUILD_DIR=$(cd "$build" && pwd)
export QT_QPA_PLATFORM=offscreen
status=0
for b in $(find "$build/bench" -maxdepth 2 -type f -name 'bench_*' -perm -u+x | sort); do
  "$b" || { echo "$(basename "$b"): failed (exit $?)"; status=1; }
done
exit $status
