#!/usr/bin/env bash
# The decisions of scripts/setup-debian.sh, made without a network and
# without touching the machine's own package state: apt reads a
# configuration, package lists and sources of the test's own (APT_CONFIG),
# dpkg a package database of its own (DPKG_ADMINDIR), and the setup runs dry
# (it simulates the installation).
#
# Usage: setup_test.sh SOURCE_DIR      Exits 77 (skipped) without apt.
set -uo pipefail
source_dir=${1:?usage: setup_test.sh SOURCE_DIR}
setup=$source_dir/scripts/setup-debian.sh
probe=$source_dir/scripts/runs-32bit.sh

if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
  echo "setup test: no apt here; skipped"
  exit 77
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/molv-setup-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# --- The 32-bit check ---

# The probe is left nowhere, whatever the answer.
mkdir "$scratch/tmp"
TMPDIR="$scratch/tmp" "$probe"
kernel_answer=$?
[ "$kernel_answer" = 0 ] || [ "$kernel_answer" = 1 ] || fail "runs-32bit.sh answered $kernel_answer"
[ -z "$(ls -A "$scratch/tmp")" ] || fail "runs-32bit.sh left $(ls -A "$scratch/tmp") behind"

# The probe is a 32-bit x86 program that exits with 0: an i386 emulator runs
# it to the end, one for x86-64 refuses it, and a program that fails is a no.
if command -v qemu-i386 >/dev/null && command -v qemu-x86_64 >/dev/null; then
  "$probe" qemu-i386 || fail "the probe does not run as an i386 program"
  if "$probe" qemu-x86_64; then
    fail "the probe runs as an x86-64 program"
  fi
else
  echo "setup test: no qemu-i386; the probe's format is checked by its header only"
  TMPDIR="$scratch/tmp" "$probe" cp --target-directory="$scratch" 2>/dev/null
  kept=$(ls "$scratch"/molv-i386.* 2>/dev/null | head -n 1)
  case "$(file -b "$kept")" in
    "ELF 32-bit LSB executable, Intel 80386"*) ;;
    *) fail "the probe is not an i386 program: $(file -b "$kept")" ;;
  esac
fi
if "$probe" false; then
  fail "a probe that did not run counts as a yes"
fi

# --- The package lists: a repository of the test's own ---

mkdir -p "$scratch/apt/lists/partial" "$scratch/apt/cache/archives/partial" \
  "$scratch/apt/sources.list.d" "$scratch/apt/preferences.d" "$scratch/repo" "$scratch/dpkg/updates"
cat >"$scratch/apt/apt.conf" <<EOF
Dir::Etc::sourcelist "$scratch/apt/sources.list";
Dir::Etc::sourceparts "$scratch/apt/sources.list.d";
Dir::Etc::preferencesparts "$scratch/apt/preferences.d";
Dir::State::Lists "$scratch/apt/lists";
Dir::State::status "$scratch/dpkg/status";
Dir::Cache "$scratch/apt/cache";
APT::Sandbox::User "root";
APT::Architectures { "$(dpkg --print-architecture)"; "i386"; };
EOF
printf '%s\n%s\n' "$(dpkg --print-architecture)" i386 >"$scratch/dpkg/arch"
: >"$scratch/dpkg/status"
export APT_CONFIG=$scratch/apt/apt.conf DPKG_ADMINDIR=$scratch/dpkg
export MOLV_SETUP_DRY_RUN=1 MOLV_SETUP_TRIES=2 MOLV_SETUP_PAUSE=0

# A stanza of a package list for "name" or "name:arch"; with a status, of
# dpkg's database instead.
stanza() {
  local name=${1%%:*} arch=${1#*:} status=${2:-}
  [ "$arch" != "$1" ] || arch=$(dpkg --print-architecture)
  printf 'Package: %s\n' "$name"
  [ -z "$status" ] || printf 'Status: %s\n' "$status"
  printf 'Version: 1.0\nArchitecture: %s\nMulti-Arch: same\nMaintainer: test <test@localhost>\n' "$arch"
  [ -n "$status" ] || printf 'Filename: %s_1.0_%s.deb\nSize: 1\n' "$name" "$arch"
  printf 'Description: stand-in\n\n'
}

# Runs the setup (dry) with the sources given and the arguments in
# $setup_arguments; its output in $out, its status in $status.
setup_arguments=()
run_setup() {
  printf '%s\n' "$@" >"$scratch/apt/sources.list"
  rm -f "$scratch/apt/lists/"*_Packages* "$scratch/apt/cache/"*.bin
  out=$("$setup" ${setup_arguments[@]+"${setup_arguments[@]}"} 2>&1)
  status=$?
}
good="deb [trusted=yes] file:$scratch/repo ./"
unreachable="deb [trusted=yes] file:$scratch/no-such-folder ./"

# What the setup wants on this kernel, all missing from the empty database
# and from the empty repository.
: >"$scratch/repo/Packages"
run_setup "$good"
wanted=$(printf '%s\n' "$out" | sed -n 's/^setup: would install: //p')
[ -n "$wanted" ] || fail "no list of packages to install: $out"
case " $wanted " in
  *" wine32:i386 "*) wants_wine32=0 ;;
  *) wants_wine32=1 ;;
esac
[ "$wants_wine32" = "$kernel_answer" ] ||
  fail "wine32:i386 wanted ($wants_wine32, 0 is yes) where the kernel answers $kernel_answer: $wanted"
if [ "$kernel_answer" = 1 ]; then
  printf '%s\n' "$out" | grep -q '^setup: .*64-bit Windows build will be tested' ||
    fail "no line says the 64-bit Windows build is tested instead: $out"
fi

# Every package in the repository; one source that cannot be fetched.
for package in $wanted; do stanza "$package"; done >"$scratch/repo/Packages"
run_setup "$good" "$unreachable"
[ "$status" = 0 ] || fail "the setup stopped on a source that cannot be fetched ($status): $out"
going_on=$(printf '%s\n' "$out" | grep -c 'going on with the package lists at hand')
[ "$going_on" = 1 ] || fail "not one line on going on with the lists at hand: $out"
printf '%s\n' "$out" | grep -q 'could not fetch 1 index(es) after 2 tries' ||
  fail "the line does not count the index and the tries: $out"
printf '%s\n' "$out" | grep -q '^setup: the packages could be installed$' ||
  fail "the packages at hand were not installed: $out"

# One package is in no list: the setup stops and names it, and only it.
absent=${wanted##* }
for package in $wanted; do [ "$package" = "$absent" ] || stanza "$package"; done >"$scratch/repo/Packages"
run_setup "$good" "$unreachable"
[ "$status" != 0 ] || fail "the setup went on without $absent: $out"
named=$(printf '%s\n' "$out" | sed -n 's/^setup: FAILED: the package \(.*\) could not be installed$/\1/p')
[ "$named" = "$absent" ] || fail "the failure names '$named', not $absent: $out"

# Everything installed: nothing is fetched (the unreachable source would
# say so) and nothing installed.
for package in $wanted; do stanza "$package" "install ok installed"; done >"$scratch/dpkg/status"
run_setup "$unreachable"
[ "$status" = 0 ] && [ "$out" != "${out/installed already/}" ] ||
  fail "an installed machine was set up again ($status): $out"
printf '%s\n' "$out" | grep -q 'apt-get update' && fail "the lists were fetched again: $out"

# Named packages replace the list, and the 32-bit question is not asked.
: >"$scratch/dpkg/status"
stanza cmake >"$scratch/repo/Packages"
setup_arguments=(cmake)
run_setup "$good"
[ "$status" = 0 ] && [ "$out" = "setup: would install: cmake
setup: the packages could be installed" ] ||
  fail "named packages were not what is installed ($status): $out"

[ "$failures" = 0 ] || exit 1
echo "setup test: passed"
