#!/usr/bin/env bash
# Runs `nuvlet simulate` for every profile in bench/profiles (and the built-in default)
# with several seeds and prints each run's comparison with a fixed backlight.
#   scripts/simulate-profiles.sh [DAYS] [SEEDS]     defaults: 14 days, seeds 1-3
set -euo pipefail
cd "$(dirname "$0")/.."
days=${1:-14}
seeds=${2:-3}
nuvlet=${NUVLET:-./build/app/nuvlet}
[ -x "$nuvlet" ] || { echo "build first: $nuvlet is missing" >&2; exit 1; }

run() {  # profile-file-or-"default" seed
  local args=(simulate --days "$days" --seed "$2")
  [ "$1" = default ] || args+=(--profile "$1")
  local out
  out=$("$nuvlet" "${args[@]}" | sed -n '/fixed backlight:/,/^$/p' | tail -n +2)
  printf '%s seed %s\n%s\n' "$(basename "$1" .json)" "$2" "$out"
}

jobs=()
for profile in default bench/profiles/*.json; do
  for seed in $(seq 1 "$seeds"); do jobs+=("$profile $seed"); done
done
printf '%s\n' "${jobs[@]}" | xargs -P "$(nproc)" -L 1 bash -c "$(declare -f run); days=$days nuvlet=$nuvlet run \"\$0\" \"\$1\""
