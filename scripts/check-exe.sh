#!/usr/bin/env bash
# Checks that a Windows build of molv is a 32-bit console program that needs
# no DLL beyond those every Windows has, so it runs when copied alone, and
# that it is shipped stripped: no debug sections, no symbol table.
# USER32 and WS2_32 are loaded only when a server is first stopped or
# queried, so they must not be imported at start.
# Usage: check-exe.sh path/to/molv.exe
set -euo pipefail
exe=${1:?usage: check-exe.sh molv.exe}

format=$(file -b "$exe")
case "$format" in
  "PE32 executable (console) Intel 80386"*) ;;
  *) echo "check-exe: $exe is not a 32-bit Windows console program: $format" >&2; exit 1 ;;
esac

sections=$(i686-w64-mingw32-objdump -h "$exe" | awk '$1 ~ /^[0-9]+$/ {print $2}')
debug=$(printf '%s\n' "$sections" | grep -E '^\.z?debug' || true)
if [ -n "$debug" ]; then
  echo "check-exe: $exe carries debug sections: $(echo $debug); build it as Release to strip it" >&2
  exit 1
fi
if ! i686-w64-mingw32-objdump -t "$exe" | grep -q '^no symbols'; then
  echo "check-exe: $exe carries a symbol table; build it as Release to strip it" >&2
  exit 1
fi

system_dlls='^(kernel32|msvcrt|user32|advapi32|shell32|ws2_32|ntdll|gdi32)\.dll$'
loaded_at_first_use='^(user32|ws2_32)\.dll$'
imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "check-exe: no imports found in $exe" >&2; exit 1; }
bad=0
for dll in $imports; do
  name=$(printf '%s\n' "$dll" | tr 'A-Z' 'a-z')
  if ! printf '%s\n' "$name" | grep -Eq "$system_dlls"; then
    echo "check-exe: $exe needs $dll, which Windows does not ship" >&2
    bad=1
  elif printf '%s\n' "$name" | grep -Eq "$loaded_at_first_use"; then
    echo "check-exe: $exe imports $dll at start; it is to be loaded at first use" >&2
    bad=1
  fi
done
[ "$bad" = 0 ] || exit 1
echo "check-exe: $format; stripped; imports: $(echo $imports)"
