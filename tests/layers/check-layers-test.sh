#!/usr/bin/env bash
# Each case writes one file into a scratch tree and expects the check to pass or fail.
set -euo pipefail
check=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
expect() {  # expect pass|fail <file below the root> <line>
  local want=$1 file=$2 line=$3 got
  rm -rf "$scratch/nuvlet" "$scratch/platform"
  mkdir -p "$scratch/$(dirname "$file")"
  printf '#pragma once\n%s\n' "$line" >"$scratch/$file"
  if "$check" "$scratch" >/dev/null 2>&1; then got=pass; else got=fail; fi
  if [ "$got" != "$want" ]; then
    echo "FAIL: $file with '$line': expected $want, got $got" >&2
    failures=$((failures + 1))
  fi
}

expect pass nuvlet/ui/A.h '#include "nuvlet/ui/B.h"'
expect pass nuvlet/ui/A.h '#include "nuvlet/control/B.h"'
expect pass nuvlet/app/A.cpp '#include "nuvlet/platform/B.h"'
expect pass nuvlet/learning/A.h '#include <vector>'
expect pass nuvlet/sensing/A.h '// #include "nuvlet/app/B.h" is only a comment'
expect fail nuvlet/ui/A.h '#include "nuvlet/app/LoginItem.h"'
expect fail nuvlet/learning/A.cpp '#include "nuvlet/ui/PlotCanvas.h"'
expect fail nuvlet/platform/A.h '#include "nuvlet/sensing/Frame.h"'
expect fail nuvlet/platform/A.h '  #  include <nuvlet/records/B.h>'
expect fail nuvlet/records/A.h '#include "nuvlet/control/B.h"'
expect fail nuvlet/ui/A.h '#include "nuvlet/nowhere/B.h"'
expect fail nuvlet/gadgets/A.h '#include <vector>'
expect fail nuvlet/control/A.cpp '#include "platform/linux/devices/SysfsBacklight.h"'
expect pass platform/linux/tray/A.cpp '#include "platform/linux/session/SessionBusLink.h"'
expect pass platform/linux/capture/A.h '#include "platform/linux/display/DrmConnectors.h"'
expect pass platform/linux/desktop/A.cpp '#include "nuvlet/platform/RunLoop.h"'
expect fail platform/linux/session/A.h '#include "platform/linux/tray/MenuLayout.h"'
expect fail platform/linux/capture/A.cpp '#include "platform/linux/desktop/JsonFileDefaults.h"'
expect fail platform/linux/A.cpp '#include <vector>'
expect fail platform/linux/gadgets/A.h '#include <vector>'

exit $((failures > 0))
