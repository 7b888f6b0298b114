#!/usr/bin/env bash
# Sets up a Debian 12 machine for Nuvlet, builds it, and runs it or its tests.
#   scripts/quickstart.sh run    install what building and running need, build the two
#                                programs and the icons, run Nuvlet (without a graphical
#                                session: a simulated fortnight of it instead)
#   scripts/quickstart.sh test   install what the tests need too, build everything, run
#                                every test
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  run) lists=(scripts/packages.txt) ;;
  test) lists=(scripts/packages.txt scripts/packages-test.txt) ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

# Install only what is missing, so a set-up machine is not touched. One dpkg-query for
# the whole list: a name it does not know counts as missing, and apt says why.
mapfile -t wanted < <(cat "${lists[@]}" | grep -v -E '^\s*(#|$)')
mapfile -t installed < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${wanted[@]}" \
  2>/dev/null | awk '$1 == "ii" { print $2 }')
missing=()
for pkg in "${wanted[@]}"; do
  [[ " ${installed[*]} " == *" $pkg "* ]] || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing ${#missing[@]} packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# `run` configures the programs alone, without debug information (the `run` preset: the
# test and benchmark libraries are not installed for it, and the debug information costs
# a quarter of the compile time), and leaves a build tree that has more alone; `test`
# turns the tests and benchmarks on in whatever tree is there. Ninja runs CMake again by
# itself when a CMakeLists.txt changes, so an existing tree is configured only when it
# lacks what this mode needs.
cache=build/CMakeCache.txt
with_tests() { grep -q '^NUVLET_BUILD_TESTS:BOOL=ON$' "$cache" && grep -q '^NUVLET_BUILD_BENCH:BOOL=ON$' "$cache"; }
if [ "$mode" = run ]; then
  [ -f build/build.ninja ] || cmake --preset run >/dev/null
  cmake --build --preset default --target nuvlet nuvlet-ddc symbolic-icons
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No graphical session: simulating two weeks of Nuvlet on simulated hardware."
    exec ./build/app/nuvlet simulate --days 14
  fi
  exec ./build/app/nuvlet
fi
if [ ! -f build/build.ninja ]; then
  cmake --preset default >/dev/null
elif ! with_tests; then
  cmake -S . -B build -DNUVLET_BUILD_TESTS=ON -DNUVLET_BUILD_BENCH=ON >/dev/null
fi
cmake --build --preset default
ctest --preset default
