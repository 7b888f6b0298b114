#!/usr/bin/env bash
# Runs `nuvlet simulate` for every profile in bench/profiles (and the built-in default)
# with several seeds, with Keep My Corrections off and on, and prints one table of each
# run against the same days on a fixed backlight: corrections per day and rms deviation
# as ratios (below 1 is better than a fixed backlight).
#   scripts/simulate-profiles.sh [DAYS] [SEEDS]     defaults: 14 days, seeds 1-3
# JOBS=N runs N simulations at once (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
days=${1:-14}
seeds=${2:-3}
nuvlet=${NUVLET:-./build/app/nuvlet}
[ -x "$nuvlet" ] || { echo "build first: $nuvlet is missing" >&2; exit 1; }

run() {  # profile-file-or-"default" seed
  local args=(simulate --days "$days" --seed "$2" --both-modes)
  [ "$1" = default ] || args+=(--profile "$1")
  local out name
  out=$("$nuvlet" "${args[@]}")
  name=$(basename "$1" .json)
  # Each summary block: its mode, then the ratios of its periods in order.
  printf '%s\n' "$out" | awk -v name="$name" -v seed="$2" '
    /against the same days on a fixed backlight:/ {
      if (row != "") print row
      mode = ($0 ~ /Corrections on/) ? "on" : "off"
      row = sprintf("%-18s %4s  %-4s", name, seed, mode)
      next
    }
    row != "" && /^  day/ {
      while (match($0, /\([0-9.]+x\)/)) {
        row = row " " substr($0, RSTART + 1, RLENGTH - 3)
        $0 = substr($0, RSTART + RLENGTH)
      }
      next
    }
    row != "" { print row; row = "" }
    END { if (row != "") print row }'
}

jobs=()
for profile in default bench/profiles/*.json; do
  for seed in $(seq 1 "$seeds"); do jobs+=("$profile $seed"); done
done
printf 'Ratios to a fixed backlight over the same days (Keep My Corrections off/on):\n'
printf '%-18s %4s  %-4s %s\n' profile seed keep \
  "corrections-days-1-3 deviation-days-1-3 corrections-week-2 deviation-week-2"
printf '%s\n' "${jobs[@]}" |
  xargs -P "${JOBS:-$(nproc)}" -L 1 bash -c "$(declare -f run); days=$days nuvlet=$nuvlet run \"\$0\" \"\$1\"" |
  sort -k1,1 -k3,3 -k2,2n
