#!/usr/bin/env bash
# Builds the two packages, molv-VERSION-win32.zip and
# molv-VERSION-linux-x86_64.tar.gz, into out/, and checks what they hold.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(molv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p out

cmake -S . -B build-package-linux -DMOLV_TESTS=OFF -DMOLV_STATIC=ON -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-package-linux -j2 >/dev/null
(cd build-package-linux && cpack -B "$PWD/../out" >/dev/null)

cmake -S . -B build-package-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DMOLV_TESTS=OFF \
  -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-package-win32 -j2 >/dev/null
(cd build-package-win32 && cpack -B "$PWD/../out" >/dev/null)
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
check_list "molv-$version-win32.zip" "molv.exe molv.ini README.txt molv-alerts.yml"

scripts/check-exe.sh build-package-win32/molv.exe

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
file -b build-package-linux/molv | grep -q 'statically linked' ||
  { echo "package: the Linux molv is not statically linked" >&2; exit 1; }

# Installation lays the program in bin/ and the documents beside each other.
rm -rf build-package-linux/stage
cmake --install build-package-linux --prefix build-package-linux/stage >/dev/null
for f in bin/molv $(printf " share/doc/molv/%s" $linux_docs); do
  [ -f "build-package-linux/stage/$f" ] || { echo "package: install did not place $f" >&2; exit 1; }
done
echo "package: install places bin/molv and share/doc/molv/"
echo "package: out/molv-$version-win32.zip: $(stat -c %s "out/molv-$version-win32.zip") bytes"
