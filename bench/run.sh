#!/bin/sh
# Builds a static release MOLV and the benchmark's programs, then runs the
# restart benchmark, the footprint, idle and crash-loop measurements, and
# prints their tables. Options go to the driver:
#   --quick                 small counts, a smoke test of a few seconds
#   --rounds N              rounds of the speed comparison (7)
#   --restarts N            restarts per case and round (1000)
#   --footprint A,B,C       restart counts of the footprint figures (1,1000,100000)
#   --idle-seconds S        length of the idle measurement (20)
#   --crash-seconds S       length of the crash loop (60)
#   --log-bytes N           size of the server log (65536)
#   --nice N                priority of the benchmark (e.g. -10 on a busy machine)
#   --large-log-bytes N     size of the large log backed up against cp (268435456)
#   --no-speed, --no-footprint, --no-idle, --no-crash-loop, --no-large-log
#   --crash-loop-only       the crash loop alone (about a minute)
#   --large-log-only        the large log against cp alone (well under a minute)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
molv_build="$root/build-bench"
tools_build="$root/build-bench-tools"

cmake -S "$root" -B "$molv_build" -DCMAKE_BUILD_TYPE=Release -DMOLV_STATIC=ON \
  -DMOLV_TESTS=OFF >/dev/null
cmake --build "$molv_build" --target molv -j2 >/dev/null
cmake -S "$root/bench" -B "$tools_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tools_build" -j2 >/dev/null

exec "$tools_build/bench_driver" \
  --molv "$molv_build/molv" \
  --reference "$tools_build/reference_loop" \
  --server "$tools_build/quick_server" \
  --work "$tools_build/work" \
  "$@"
