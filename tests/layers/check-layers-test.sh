#!/usr/bin/env bash
# Each case writes one file into a scratch tree and expects the check to pass or fail.
set -euo pipefail
check=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
expect() {  # expect pass|fail <file below nuvlet/> <line>
  local want=$1 file=$2 line=$3 got
  rm -rf "$scratch/nuvlet"
  mkdir -p "$scratch/nuvlet/$(dirname "$file")"
  printf '#pragma once\n%s\n' "$line" >"$scratch/nuvlet/$file"
  if "$check" "$scratch" >/dev/null 2>&1; then got=pass; else got=fail; fi
  if [ "$got" != "$want" ]; then
    echo "FAIL: $file with '$line': expected $want, got $got" >&2
    failures=$((failures + 1))
  fi
}

expect pass ui/A.h '#include "nuvlet/ui/B.h"'
expect pass ui/A.h '#include "nuvlet/control/B.h"'
expect pass app/A.cpp '#include "nuvlet/platform/B.h"'
expect pass learning/A.h '#include <vector>'
expect pass sensing/A.h '// #include "nuvlet/app/B.h" is only a comment'
expect fail ui/A.h '#include "nuvlet/app/LoginItem.h"'
expect fail learning/A.cpp '#include "nuvlet/ui/PlotCanvas.h"'
expect fail platform/A.h '#include "nuvlet/sensing/Frame.h"'
expect fail platform/A.h '  #  include <nuvlet/records/B.h>'
expect fail records/A.h '#include "nuvlet/control/B.h"'
expect fail ui/A.h '#include "nuvlet/nowhere/B.h"'
expect fail gadgets/A.h '#include <vector>'

exit $((failures > 0))
