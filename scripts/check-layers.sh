#!/usr/bin/env bash
# Fails when a folder under nuvlet/ includes a header from a folder above it, so the
# layers stay a stack: the ports at the bottom, the shell on top. A new folder must be
# given its place here before anything may include it.
#   scripts/check-layers.sh [root]     root defaults to the repository
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}

# Lowest first. A folder may include its own headers and those of any folder below it.
layers=(platform sensing learning records control ui app)

rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

status=0
while IFS= read -r -d '' file; do
  rel=${file#"$root"/}
  from=${rel#nuvlet/}
  from=${from%%/*}
  from_rank=$(rank "$from")
  if [ "$from_rank" -lt 0 ]; then
    echo "$rel: folder nuvlet/$from has no place in the layer order" >&2
    status=1
    continue
  fi
  lineno=0
  while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"\<]nuvlet/([^/\">]+)/ ]] || continue
    to=${BASH_REMATCH[1]}
    to_rank=$(rank "$to")
    if [ "$to_rank" -lt 0 ] || [ "$to_rank" -gt "$from_rank" ]; then
      echo "$rel:$lineno: nuvlet/$from must not include nuvlet/$to" >&2
      status=1
    fi
  done <"$file"
done < <(find "$root/nuvlet" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)

if [ "$status" -eq 0 ]; then
  echo "layers: every include under nuvlet/ points to its own folder or one below"
fi
exit "$status"
