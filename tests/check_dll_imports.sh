#!/usr/bin/env bash
# Usage: check_dll_imports.sh LIBRARY.dll
# The DLLs the library imports: the kernel and the C runtime of Windows
# itself, and FFmpeg's avcodec and avutil (the AAC encoder, shipped beside
# it); nothing else, no MinGW runtime DLL in particular, which hosts lack.
# The 32-bit C runtime's plain time functions (time, mktime, localtime,
# gmtime and their _32 forms) count seconds in 32 bits and break in January
# 2038; the library must reach the clock and the calendar only through their
# 64-bit forms.
set -euo pipefail
lib=$1
objdump=${VRC_OBJDUMP:-objdump}

table=$("$objdump" -p "$lib")
dlls=$(echo "$table" | awk '/DLL Name:/ {print $3}')
stray=$(echo "$dlls" | grep -vixE 'kernel32\.dll|msvcrt\.dll|av(codec|util)-[0-9]+\.dll' || true)
if [ -n "$stray" ]; then
  echo "$lib imports DLLs beyond Windows' own and FFmpeg's:" $stray
  exit 1
fi
imports=$(echo "$table" | awk '/DLL Name:/ {on=1; next} on && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
bad=$(echo "$imports" | grep -xE '_?(time|mktime|localtime|gmtime|ctime|difftime)(32)?|_(time|mktime|localtime|gmtime|ctime|difftime)32' || true)
if [ -n "$bad" ]; then
  echo "$lib imports 32-bit time functions:" $bad
  exit 1
fi
echo "no 32-bit time function among $(echo "$imports" | wc -l) imports from" $dlls
