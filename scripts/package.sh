#!/usr/bin/env bash
# Builds the two packages, molv-VERSION-win32.zip and
# molv-VERSION-linux-x86_64.tar.gz, into out/, and checks what they hold.
#
# Usage: scripts/package.sh [LINUX_TREE WIN32_TREE]
# Without trees it builds the programs in build trees of its own. Given the
# trees of a build already made (Release; the Linux one with MOLV_STATIC=ON,
# the Windows one with cmake/mingw-i686.cmake), it packages what they hold
# and builds nothing again; the checks below tell a tree configured
# otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(molv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p out
out=$PWD/out

if [ $# -eq 2 ]; then
  linux_tree=$1
  win32_tree=$2
elif [ $# -eq 0 ]; then
  linux_tree=build-package-linux
  win32_tree=build-package-win32
  cmake -S . -B "$linux_tree" -DMOLV_TESTS=OFF -DMOLV_STATIC=ON -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake -S . -B "$win32_tree" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DMOLV_TESTS=OFF \
    -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
else
  echo "usage: $0 [LINUX_TREE WIN32_TREE]" >&2
  exit 2
fi
for tree in "$linux_tree" "$win32_tree"; do
  cmake --build "$tree" -j2 --target molv >/dev/null
  (cd "$tree" && cpack -B "$out" >/dev/null)
done
rm -rf out/_CPack_Packages

# What each package must hold, and nothing else.
check_list() {
  local package=$1 expected=$2 listed
  listed=$(cmake -E tar tf "out/$package" | grep -v '/$' | sort)
  if [ "$listed" != "$(printf '%s\n' $expected | sort)" ]; then
    echo "package: out/$package holds:" >&2
    printf '%s\n' "$listed" >&2
    echo "package: expected:" >&2
    printf '%s\n' $expected | sort >&2
    exit 1
  fi
  echo "package: out/$package: $(echo $listed)"
}
linux=molv-$version-linux-x86_64
linux_docs="molv.ini README.txt molv-alerts.yml molv@.service"
check_list "$linux.tar.gz" "$linux/bin/molv $(printf " $linux/share/doc/molv/%s" $linux_docs)"
check_list "molv-$version-win32.zip" \
  "molv.exe molv.ini README.txt molv-alerts.yml molv-start.cmd molv-stop.cmd"

scripts/check-exe.sh "$win32_tree/molv.exe"

# Each package's notes speak of its own system only.
notes_dir=$(mktemp -d)
trap 'rm -rf "$notes_dir"' EXIT
check_notes() {
  local package=$1 member=$2 words=$3 archive=$PWD/out/$1 found
  (cd "$notes_dir" && cmake -E tar xf "$archive" "$member")
  found=$(grep -nE "$words" "$notes_dir/$member" || true)
  if [ -n "$found" ]; then
    echo "package: the notes in out/$package name the other system's things:" >&2
    printf '%s\n' "$found" >&2
    exit 1
  fi
  echo "package: out/$package: the notes name nothing of the other system"
}
check_notes "$linux.tar.gz" "$linux/share/doc/molv/README.txt" \
  'molv\.exe|schtasks|Task Scheduler|WM_CLOSE|TerminateProcess|CreateProcess|\bwindows?\b|double-click|\.bat\b|\.cmd\b|Ctrl\+Break|C:\\'
check_notes "molv-$version-win32.zip" README.txt \
  'systemd|systemctl|journalctl|/usr/local|/srv/|bin/molv|SIGTERM|SIGKILL|chmod|Linux|/dev/null|O_TMPFILE'
file -b "$linux_tree/molv" | grep -q 'statically linked' ||
  { echo "package: the Linux molv is not statically linked" >&2; exit 1; }

# Installation lays the program in bin/ and the documents beside each other.
rm -rf "$linux_tree/stage"
cmake --install "$linux_tree" --prefix "$linux_tree/stage" >/dev/null
for f in bin/molv $(printf " share/doc/molv/%s" $linux_docs); do
  [ -f "$linux_tree/stage/$f" ] || { echo "package: install did not place $f" >&2; exit 1; }
done
echo "package: install places bin/molv and share/doc/molv/"
echo "package: out/molv-$version-win32.zip: $(stat -c %s "out/molv-$version-win32.zip") bytes"
