#!/usr/bin/env bash
# Usage: check_exports.sh LIBRARY INCLUDE_DIR
# Compares the names a shared library exports (ELF .so or PE .dll) with the
# names its public headers declare with VRC_API.
set -euo pipefail
lib=$1 include_dir=$2
objdump=${VRC_OBJDUMP:-objdump}

expected=$(grep -h 'VRC_API' "$include_dir"/*.h | grep -v '#' |
  sed -E 's/\(.*//; s/\[.*//; s/;.*//' | grep -oE '[A-Za-z_][A-Za-z0-9_]*\s*$' | tr -d ' ' | sort -u)

case "$lib" in
  *.dll)
    actual=$("$objdump" -p "$lib" |
      awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF} on && /^[ \t]*$/ {on=0}' | sort -u) ;;
  *)
    # A sanitizer build adds an __odr_asan.<name> marker beside every exported variable.
    actual=$("$objdump" -T "$lib" | awk '$2 == "g" && $4 != "*UND*" && $NF !~ /^__odr_asan/ {print $NF}' | sort -u) ;;
esac

if [ "$expected" != "$actual" ]; then
  echo "exported names differ from the public headers (< declared only, > exported only):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(echo "$actual" | wc -l) exported names match the public headers"
