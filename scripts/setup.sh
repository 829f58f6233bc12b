#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are present.
# As root it installs what is missing with apt-get; otherwise it prints the
# apt-get line to run and fails.
set -euo pipefail

packages=(g++ cmake ninja-build libgtest-dev libgmp-dev libmpfr-dev libbenchmark-dev libhwy-dev man-db)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "setup: missing packages; run:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
