#!/usr/bin/env bash
# Installs what building and testing MOLV needs on a Debian machine (as root):
# promtool (in prometheus) and the node exporter read the status file in
# the tests; podman with runc, and busybox-static for the health check's
# shell, run the container test; kubectl checks the Kubernetes example;
# strace kills MOLV at every step in a test. Given package names, it
# installs those instead (the demo needs only a compiler).
#
# A mirror in the middle of a sync makes `apt-get update` fail for one index
# or two while every other one is fetched: the update is tried a few times,
# and then the script goes on with the lists it has. Only a package that is
# needed and cannot be installed stops it. Packages already installed are
# not installed again, so a second run spends seconds here.
#
# Usage: scripts/setup-debian.sh [PACKAGE...]
# Environment: MOLV_SETUP_TRIES (default 3), MOLV_SETUP_PAUSE seconds
# between tries (default 5), MOLV_SETUP_DRY_RUN=1 decides, fetches the lists
# and simulates the installation (apt-get --simulate) without changing the
# machine. apt's own APT_CONFIG and dpkg's DPKG_ADMINDIR are honoured, so a
# dry run can be pointed at package lists and a package database of its own.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tries=${MOLV_SETUP_TRIES:-3}
pause=${MOLV_SETUP_PAUSE:-5}
dry_run=${MOLV_SETUP_DRY_RUN:-0}

if [ $# -gt 0 ]; then
  packages=("$@")
else
  packages=(
    ca-certificates file cmake make g++ googletest
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
    wine wine64
    clang libclang-rt-14-dev xvfb xauth
    prometheus prometheus-node-exporter
    podman runc busybox-static strace
  )
  # Debian's kubectl is in kubernetes-client; one that another package
  # installed already serves as well, and the two cannot be installed
  # together.
  if ! command -v kubectl >/dev/null; then
    packages+=(kubernetes-client)
  fi
  # Wine runs 32-bit Windows programs only where the kernel runs 32-bit
  # programs; that is asked of the kernel by running one.
  if "$here/runs-32bit.sh"; then
    packages+=(wine32:i386)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      [ "$dry_run" = 1 ] || dpkg --add-architecture i386
    fi
  else
    echo "setup: this kernel runs no 32-bit programs: the 64-bit Windows build will be tested under Wine instead"
  fi
fi

# The packages of the list that are not installed yet.
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package needed is installed already"
  exit 0
fi
[ "$dry_run" = 1 ] && echo "setup: would install: ${missing[*]}"

apt_log=$(mktemp "${TMPDIR:-/tmp}/molv-apt.XXXXXX")
trap 'rm -f "$apt_log"' EXIT

# Fetches the package lists; true once a try fetched every index.
update_lists() {
  local try
  for ((try = 1; try <= tries; try++)); do
    if apt-get update -q -o Acquire::Retries=3 >"$apt_log" 2>&1; then
      return 0
    fi
    if ((try < tries)); then
      sleep "$pause"
    fi
  done
  return 1
}
if ! update_lists; then
  failed=$(grep -c '^E: Failed to fetch' "$apt_log" || true)
  if [ "${failed:-0}" -gt 0 ]; then
    why="could not fetch $failed index(es)"
  else
    why="failed ($(grep '^E:' "$apt_log" | tail -n 1 || true))"
  fi
  echo "setup: apt-get update $why after $tries tries (mirror in sync?); going on with the package lists at hand"
fi

install=(apt-get install -y -q --no-install-recommends -o Acquire::Retries=3)
if [ "$dry_run" = 1 ]; then
  install+=(--simulate)
else
  # The tests start their own node exporter on a free port; no package may
  # start a service of its own while it is installed.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    trap 'rm -f "$apt_log" "$policy"' EXIT
  fi
fi
if ! "${install[@]}" "${missing[@]}" >"$apt_log" 2>&1; then
  # Names the packages that stop the setup: those no list at hand offers.
  offered=$(apt-cache policy "${missing[@]}" 2>/dev/null | awk '
    /^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) }
    /^  Candidate:/ && $2 != "(none)" { print name }')
  named=0
  for package in "${missing[@]}"; do
    if ! printf '%s\n' "$offered" | grep -qxF -e "$package" -e "$package:$(dpkg --print-architecture)"; then
      echo "setup: FAILED: the package $package could not be installed" >&2
      named=1
    fi
  done
  if [ "$named" = 0 ]; then
    echo "setup: FAILED: apt-get install: $(grep '^E:' "$apt_log" | tail -n 1 || true)" >&2
  fi
  exit 1
fi
if [ "$dry_run" = 1 ]; then
  echo "setup: the packages could be installed"
else
  echo "setup: packages installed: ${missing[*]}"
fi
