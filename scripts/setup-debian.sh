#!/usr/bin/env bash
# Installs what building and testing MOLV needs on a Debian machine (as root):
# promtool (in prometheus) and the node exporter read the status file in
# the tests.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -q
# The tests start their own node exporter on a free port; no package may
# start a service of its own while it is installed.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get install -y -q --no-install-recommends \
  ca-certificates file cmake make g++ googletest \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 \
  wine wine64 wine32:i386 \
  clang libclang-rt-14-dev xvfb xauth \
  prometheus prometheus-node-exporter >/dev/null
echo "setup: build and test tools installed"
