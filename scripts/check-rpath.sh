#!/usr/bin/env bash
# Checks the library search paths (RPATH and RUNPATH) of every ELF file under the given files
# and folders:
#
#   scripts/check-rpath.sh PATH...      (CI: the build tree, and the files the packages install)
#
# Each element must be an absolute folder or one relative to the file itself ($ORIGIN/...).
# An empty element (a leading, trailing or doubled ":") means the current folder, and any other
# relative element a folder below it: a program run in a folder another user can write would
# load that user's libraries. Prints every offending file and fails; needs readelf (binutils).
set -euo pipefail

if (($# == 0)); then
  echo "usage: $0 PATH..." >&2
  exit 2
fi
command -v readelf >/dev/null || {
  echo "check-rpath: readelf (binutils) is missing" >&2
  exit 2
}

checked=0
bad=0
while IFS= read -r -d '' file; do
  # ELF files only, by their first four bytes
  [[ $(head -c 4 "$file" 2>/dev/null | od -An -tx1 | tr -d ' \n') == 7f454c46 ]] || continue
  checked=$((checked + 1))
  dynamic=$(LC_ALL=C readelf -dW "$file" 2>/dev/null) || {
    echo "check-rpath: $file: readelf failed" >&2
    bad=$((bad + 1))
    continue
  }
  while IFS= read -r line; do
    [[ $line =~ \((RPATH|RUNPATH)\).*\[(.*)\]$ ]] || continue
    kind=${BASH_REMATCH[1]}
    value=${BASH_REMATCH[2]}
    # ":" at the end would otherwise be lost by the split
    IFS=: read -r -a elements <<<"$value:"
    reason=""
    if [[ $value == *: || $value == :* || $value == *::* || -z $value ]]; then
      reason="an empty element (the current folder)"
    fi
    for element in "${elements[@]}"; do
      [[ -z $reason && -n $element ]] || continue
      case $element in
        /*) ;;
        '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
        *) reason="the relative element \"$element\"" ;;
      esac
    done
    if [[ -n $reason ]]; then
      echo "check-rpath: $file: $kind [$value] has $reason" >&2
      bad=$((bad + 1))
    fi
  done <<<"$dynamic"
done < <(find "$@" -type f -print0)

if ((bad)); then
  echo "check-rpath: $bad of $checked ELF files have an unsafe library search path" >&2
  exit 1
fi
echo "check-rpath: $checked ELF files, every library search path absolute or \$ORIGIN-relative"
