#!/usr/bin/env bash
# Runs `nuvlet simulate` for every profile in bench/profiles (and the built-in default)
# with several seeds, with Keep My Corrections off and on, and prints one table of each
# run against the same days on a fixed backlight: corrections per day and rms deviation
# as ratios (below 1 is better than a fixed backlight).
#   scripts/simulate-profiles.sh [DAYS] [SEEDS]     defaults: 14 days, seeds 1-3
set -euo pipefail
cd "$(dirname "$0")/.."
days=${1:-14}
seeds=${2:-3}
nuvlet=${NUVLET:-./build/app/nuvlet}
[ -x "$nuvlet" ] || { echo "build first: $nuvlet is missing" >&2; exit 1; }

run() {  # profile-file-or-"default" seed off|on
  local args=(simulate --days "$days" --seed "$2")
  [ "$1" = default ] || args+=(--profile "$1")
  [ "$3" = off ] || args+=(--keep-corrections)
  # The ratios of the summary's periods, in order: corrections, deviation, ...
  local ratios
  ratios=$("$nuvlet" "${args[@]}" | sed -n '/fixed backlight:/,/^$/p' | tail -n +2 |
    grep -o '([0-9.]*x)' | tr -d '()x' | tr '\n' ' ')
  printf '%-18s %4s  %-4s %s\n' "$(basename "$1" .json)" "$2" "$3" "$ratios"
}

jobs=()
for profile in default bench/profiles/*.json; do
  for seed in $(seq 1 "$seeds"); do
    for mode in off on; do jobs+=("$profile $seed $mode"); done
  done
done
printf 'Ratios to a fixed backlight over the same days (Keep My Corrections off/on):\n'
printf '%-18s %4s  %-4s %s\n' profile seed keep \
  "corrections-days-1-3 deviation-days-1-3 corrections-week-2 deviation-week-2"
printf '%s\n' "${jobs[@]}" |
  xargs -P "$(nproc)" -L 1 bash -c "$(declare -f run); days=$days nuvlet=$nuvlet run \"\$0\" \"\$1\" \"\$2\"" |
  sort -k1,1 -k3,3 -k2,2n
