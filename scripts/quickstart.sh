#!/usr/bin/env bash
# Sets up a Debian 12 machine for Nuvlet, builds it, and runs it or its tests.
#   scripts/quickstart.sh run    install what is missing, build, run Nuvlet (without a
#                                graphical session: a simulated fortnight of it instead)
#   scripts/quickstart.sh test   install what is missing, build, run every test
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  run | test) ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

# Install only what is missing, so a set-up machine is not touched.
mapfile -t wanted < <(grep -v -E '^\s*(#|$)' scripts/packages.txt)
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake --preset default >/dev/null
cmake --build --preset default

if [ "$mode" = run ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No graphical session: simulating two weeks of Nuvlet on simulated hardware."
    exec ./build/app/nuvlet simulate --days 14
  fi
  exec ./build/app/nuvlet
fi
ctest --preset default
