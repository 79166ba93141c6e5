#!/usr/bin/env bash
# The main job: builds both DLLs and runs them on the virtual bench, printing what they do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
exec "$root/build/tools/kvrbench" survey --dlls "$root/build/dlls"
