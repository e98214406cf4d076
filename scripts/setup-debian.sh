#!/usr/bin/env bash
# Installs what building and testing MOLV needs on a Debian machine (as root):
# promtool (in prometheus) and the node exporter read the status file in
# the tests.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -q
apt-get install -y -q --no-install-recommends \
  ca-certificates file cmake make g++ googletest \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 \
  wine wine64 wine32:i386 \
  clang libclang-rt-14-dev xvfb xauth \
  prometheus prometheus-node-exporter >/dev/null
echo "setup: build and test tools installed"
