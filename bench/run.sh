#!/bin/sh
# Builds a static release MOLV and the benchmark's programs, then runs the
# restart benchmark, the footprint, idle and crash-loop measurements, the
# hang watchdog and the scheduled restart, and prints their tables (about 22
# minutes; the scheduled restart alone takes 10). Options go to the driver:
#   --quick                 small counts and short windows, a smoke test (under a minute)
#   --rounds N              rounds of the speed comparison (7)
#   --restarts N            restarts per case and round (1000)
#   --footprint A,B,C       restart counts of the footprint figures (1,1000,100000)
#   --idle-seconds S        length of the idle measurement (20)
#   --crash-seconds S       length of the crash loop (60)
#   --hangs N               hung servers restarted in the hang case (5)
#   --watchdog-seconds S    length of the watchdog beside a healthy server (60)
#   --schedule-seconds S    length of the idle measurement with restart_at set (600)
#   --log-bytes N           size of the server log (65536)
#   --nice N                priority of the benchmark (e.g. -10 on a busy machine)
#   --large-log-bytes N     size of the large log backed up against cp (268435456)
#   --no-PART               leave a part out; --no-speed leaves out the watchdog's and
#                           the status file's rows too
#   --PART-only             run only this part; several of them run together
# where PART is one of
#   speed                   MOLV against the reference, backups on and off
#   watchdog-speed          end-to-start with query_port set, against the reference
#                           (with the backups-off pair; about a minute and a half)
#   status-speed            end-to-start with status_file set, against the reference
#                           (with the backups-off pair; about a minute and a half)
#   large-log               the large log against cp (well under a minute)
#   footprint
#   idle                    MOLV, the reference, and MOLV with status_file set, at rest
#   crash-loop              default settings, a server that ends at once (about a minute)
#   hang                    a server that falls silent, to the next start (about 80 seconds)
#   watchdog-idle           wake-ups and CPU beside a server that answers (about a minute)
#   schedule                wake-ups and CPU with restart_at set (10 minutes)
#   found                   MOLV start to "watching it" beside a running server, against
#                           the start to "Gameserver is now running" (a few seconds)
#   all-features            end-to-start with every feature on, against the reference
#                           with backups (with the backups-on pair)
#   syscalls                system calls per restart, MOLV and the reference, counted
#                           by strace -c (about 10 seconds)
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
