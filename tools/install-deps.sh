#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent and quick when everything is already there.
set -euo pipefail
want=(build-essential cmake ninja-build pkg-config qt6-base-dev libgtest-dev
      libasound2-dev libjack-jackd2-dev jackd2 pipewire pipewire-jack pipewire-bin
      xxd time fonts-dejavu-core desktop-file-utils appstream shared-mime-info libxml2-utils
      xdg-utils)
if [ "${1:-}" = "--fuzz" ]; then want+=(clang libclang-rt-14-dev); fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
