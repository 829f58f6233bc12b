#!/usr/bin/env bash
# Builds atanpi (Release) and starts it in the current directory, where it
# writes its result file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target atanpi >/dev/null
exec "$root/build/atanpi"
