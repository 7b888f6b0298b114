#!/usr/bin/env bash
# Runs the fuzz targets under fuzz/ (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer).
#   scripts/fuzz.sh TARGET [SECONDS]   one target, 600 s by default
#   scripts/fuzz.sh all [SECONDS]      every target in turn, 20 s each by default (CI)
#   scripts/fuzz.sh list               the targets
# Builds the fuzz preset first. Each target starts from its seed corpus in
# fuzz/corpus/TARGET and keeps what it finds in build-fuzz/corpus/TARGET. A failure
# leaves the input in build-fuzz/artifacts/ and prints it (hex) to the log; add it to
# fuzz/corpus/TARGET once mended, so that every later run tries it first.
set -euo pipefail
cd "$(dirname "$0")/.."

targets() { sed -n 's/^nuvlet_fuzzer(\([a-z_]*\) .*/\1/p' fuzz/CMakeLists.txt; }

what=${1:-}
case "$what" in
  "" | -h | --help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
  list)
    targets
    exit 0
    ;;
  all)
    seconds=${2:-20}
    mapfile -t chosen < <(targets)
    ;;
  *)
    seconds=${2:-600}
    if ! targets | grep -qx "$what"; then
      echo "no fuzz target '$what'; one of:" $(targets) >&2
      exit 2
    fi
    chosen=("$what")
    ;;
esac

# One build at a time when several runs start together.
mkdir -p build-fuzz
(
  flock 9
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
) 9>build-fuzz/.build-lock

mkdir -p build-fuzz/artifacts
failed=()
for target in "${chosen[@]}"; do
  work=build-fuzz/corpus/$target
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
        -artifact_prefix="build-fuzz/artifacts/$target-")
  [ -f "fuzz/$target.dict" ] && args+=(-dict="fuzz/$target.dict")
  echo "== fuzz $target for ${seconds}s"
  marker=$(mktemp)
  # The targets' scratch files, removed however the run ends.
  scratch=$(mktemp -d)
  status=0
  TMPDIR=$scratch "build-fuzz/fuzz/fuzz_$target" "${args[@]}" "$work" "fuzz/corpus/$target" 2>&1 |
    grep --line-buffered -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' || status=$?
  rm -rf "$scratch"
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    find build-fuzz/artifacts -name "$target-*" -newer "$marker" | while read -r input; do
      echo "-- the input that failed, $input:"
      head -c 4096 "$input" | od -A d -t x1z -v
    done
  fi
  rm -f "$marker"
done

if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
