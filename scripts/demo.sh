#!/usr/bin/env bash
# Runs MOLV on a demo: a stand-in server that writes a log and ends after a
# few seconds, so the whole cycle (start, end, backup, restart) can be
# watched without the game. Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || ! command -v make >/dev/null; then
  echo "demo: installing cmake and g++"
  scripts/setup-debian.sh cmake make g++
fi

cmake -S . -B build-demo -DMOLV_TESTS=OFF >/dev/null
cmake --build build-demo -j2 >/dev/null

server=build-demo/server
mkdir -p "$server"
cp build-demo/tests/standin/molv_standin "$server/demo-server"
cat > "$server/molv.ini" <<'INI'
[GENERAL]
exename=demo-server
logfile=server.log
logfile_backups=1
min_uptime=2

[GAME]
game_mtl=0
game_startmap=DXMP_Cathedral
max_players=8
INI

echo "demo: the stand-in server runs 4 seconds at a time; dated log copies appear in $server"
echo "demo: press Ctrl+C to end MOLV (the stand-in then ends by itself within seconds),"
echo "demo: or run \"../molv --stop\" in $server from another terminal to stop both"
cd "$server"
export MOLV_STANDIN_RUN_MS=4000
exec ../molv
