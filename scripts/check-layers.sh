#!/usr/bin/env bash
# Fails when a folder includes a header from a folder above it, so the layers stay a
# stack. Two stacks are checked: the folders under nuvlet/ (the ports at the bottom, the
# shell on top) and the rooms of the Linux adapters under platform/linux/ (the session's
# plumbing at the bottom, the desktop services that use everything else on top). nuvlet/
# never includes an adapter, and every adapter lives in a room. A new folder must be
# given its place here before anything may include it.
#   scripts/check-layers.sh [root]     root defaults to the repository
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}

# Lowest first. A folder may include its own headers and those of any folder below it.
core_layers=(platform sensing learning records control ui app)
linux_rooms=(session display devices capture tray desktop)

rank() {  # rank <name> <lowest first...>
  local want=$1 i=0
  shift
  for name in "$@"; do
    [ "$name" = "$want" ] && { echo "$i"; return; }
    i=$((i + 1))
  done
  echo -1
}

status=0
# check <folder below root> <stack...>: every source file in a folder of the stack, and
# every include of "<folder>/<x>/..." from it.
check() {
  local base=$1 file rel from from_rank lineno line to to_rank
  shift
  [ -d "$root/$base" ] || return 0
  while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    from=${rel#"$base"/}
    if [ "$from" = "${from#*/}" ]; then
      echo "$rel: a source file belongs in a folder of $base/ ($*)" >&2
      status=1
      continue
    fi
    from=${from%%/*}
    from_rank=$(rank "$from" "$@")
    if [ "$from_rank" -lt 0 ]; then
      echo "$rel: folder $base/$from has no place in the layer order" >&2
      status=1
      continue
    fi
    lineno=0
    while IFS= read -r line || [ -n "$line" ]; do
      lineno=$((lineno + 1))
      [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"\<]([a-z/]+)/([^/\">]+)/ ]] || continue
      if [ "$base" = nuvlet ] && [ "${BASH_REMATCH[1]%%/*}" = platform ]; then
        echo "$rel:$lineno: nuvlet/ must not include an adapter" >&2
        status=1
        continue
      fi
      [ "${BASH_REMATCH[1]}" = "$base" ] || continue
      to=${BASH_REMATCH[2]}
      to_rank=$(rank "$to" "$@")
      if [ "$to_rank" -lt 0 ] || [ "$to_rank" -gt "$from_rank" ]; then
        echo "$rel:$lineno: $base/$from must not include $base/$to" >&2
        status=1
      fi
    done <"$file"
  done < <(find "$root/$base" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -print0 | sort -z)
}

check nuvlet "${core_layers[@]}"
check platform/linux "${linux_rooms[@]}"

if [ "$status" -eq 0 ]; then
  echo "layers: every include points to its own folder or one below, in nuvlet/ and platform/linux/"
fi
exit "$status"
