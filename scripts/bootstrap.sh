#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine, if it is missing. Run as root.
set -euo pipefail
# llvm gives llvm-dlltool (the kit's MSVC import libraries), lld gives lld-link (the MSVC-compatible
# linker the kit's link check uses). Free Pascal (fpc), when present, checks the kit's Pascal unit; it
# is large and optional, so it is not installed here.
packages=(cmake make g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 libunicorn-dev libgtest-dev
          googletest llvm lld)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
