#!/usr/bin/env bash
# Usage: check_imports.sh LIBRARY (.so or .dll)
# The library needs nothing to load that a host may lack. FFmpeg's libraries
# least of all: the AAC encoder opens them when AAC is first asked for, so
# that a host without them loads the library and converts mu-law. A Windows
# DLL imports the kernel and the C runtime of Windows itself and nothing
# else, no MinGW runtime DLL in particular. The 32-bit C runtime's plain time
# functions (time, mktime, localtime, gmtime and their _32 forms) count
# seconds in 32 bits and break in January 2038; the library must reach the
# clock and the calendar only through their 64-bit forms.
set -euo pipefail
lib=$1
objdump=${VRC_OBJDUMP:-objdump}

table=$("$objdump" -p "$lib")
# ELF names the libraries it needs on NEEDED lines, PE on "DLL Name:" ones.
needed=$(echo "$table" | awk '$1 == "NEEDED" {print $2} /DLL Name:/ {print $3}')
ffmpeg=$(echo "$needed" | grep -iE '^(lib)?av(codec|util)' || true)
if [ -n "$ffmpeg" ]; then
  echo "$lib needs FFmpeg's libraries to load:" $ffmpeg
  exit 1
fi
if ! grep -q 'file format pe' <<<"$table"; then
  echo "$lib needs no FFmpeg library:" $needed
  exit 0
fi
stray=$(echo "$needed" | grep -vixE 'kernel32\.dll|msvcrt\.dll' || true)
if [ -n "$stray" ]; then
  echo "$lib imports DLLs beyond Windows' own:" $stray
  exit 1
fi
imports=$(echo "$table" | awk '/DLL Name:/ {on=1; next} on && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
bad=$(echo "$imports" | grep -xE '_?(time|mktime|localtime|gmtime|ctime|difftime)(32)?|_(time|mktime|localtime|gmtime|ctime|difftime)32' || true)
if [ -n "$bad" ]; then
  echo "$lib imports 32-bit time functions:" $bad
  exit 1
fi
echo "no FFmpeg DLL, and no 32-bit time function among $(echo "$imports" | wc -l) imports from" $needed
