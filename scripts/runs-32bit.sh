#!/usr/bin/env bash
# Exits 0 when this kernel runs 32-bit x86 programs, 1 when it does not.
# It runs one to find out: a 93-byte static i386 program that only exits
# with status 0. Reading the kernel's configuration would not tell, as a
# kernel built with 32-bit support can still have it turned off.
#
# Usage: scripts/runs-32bit.sh [RUNNER...]
# With a RUNNER (an emulator such as qemu-i386), the program is run through
# it instead, and the answer is the runner's.
set -u
program=$(mktemp "${TMPDIR:-/tmp}/molv-i386.XXXXXX") || exit 1
trap 'rm -f "$program"' EXIT
# ELF header, one loadable segment at 0x08048000, and at 0x08048054 the code:
# xor ebx,ebx; mov eax,1 (exit); int 0x80.
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\061\333\270\001\000\000\000\315\200' >"$program"
chmod 700 "$program"
"$@" "$program" 2>/dev/null || exit 1
