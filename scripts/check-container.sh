#!/usr/bin/env bash
# The container test: MOLV as a container's first process under a real
# runtime, podman with runc. A small test image holds the static molv, the
# stand-in server, a static shell for the health check and the settings of
# dist/Containerfile's final stage (user, folder, volume, stop signal, health
# check, entry point), so that it builds in seconds and without a registry.
#
# Where podman or runc is missing, or the runtime refuses to run a container,
# the test says so in one line and is skipped. Everything it makes (its
# containers, image, storage, mounts and processes) goes with it, passed or
# failed: it keeps its own podman storage in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

say() { echo "container: $*"; }
skip() {
  echo "container: SKIPPED: $*"
  exit 0
}

command -v podman >/dev/null || skip "no podman (scripts/setup-debian.sh installs it)"
runc=$(command -v runc) || skip "no runc (scripts/setup-debian.sh installs it)"
busybox=$(command -v busybox) || skip "no busybox for the health check's shell (Debian's busybox-static)"

step_started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/molv-container.XXXXXX")
podman_log=$work/podman.log
podman=(podman --root "$work/storage" --runroot "$work/run" --tmpdir "$work/tmp"
  --storage-driver vfs --events-backend file)
# This machine's kind lets no one raise the limits past their hard values,
# which podman's defaults would; runc, as crun refuses its cgroup layout.
run_options=(--runtime "$runc" --network none
  --ulimit nofile=4096:4096 --ulimit nproc=4096:4096)
image=localhost/molv-container-test:$$
containers=()

cleanup() {
  local status=$? container pids
  for container in ${containers[@]+"${containers[@]}"}; do
    "${podman[@]}" rm -f -v -t 0 "$container" >>"$podman_log" 2>&1 || true
  done
  "${podman[@]}" rmi -f "$image" >>"$podman_log" 2>&1 || true
  # conmon and its clean-up run on a moment after a container is removed.
  for _ in $(seq 100); do
    pids=$(pgrep -f -- "$work" || true)
    [ -z "$pids" ] && break
    sleep 0.1
  done
  if [ -n "$pids" ]; then
    echo "container: FAILED: processes of the test still run: $pids" >&2
    status=1
  fi
  if grep -q -- "$work" /proc/self/mountinfo; then
    echo "container: FAILED: mounts of the test are left:" >&2
    grep -- "$work" /proc/self/mountinfo >&2
    status=1
  fi
  if [ "$status" -ne 0 ] && [ -s "$podman_log" ]; then
    echo "container: podman said:" >&2
    tail -n 20 "$podman_log" >&2
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

failures=0
fail() {
  echo "container: FAILED: $*" >&2
  failures=$((failures + 1))
}
pass() { say "ok: $*"; }

# Waits (at most 60 seconds, far more than any step needs) until the command
# succeeds; false when it never does.
wait_for() {
  local tries
  for ((tries = 0; tries < 300; tries++)); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

# The static molv and stand-in, in a build tree of their own.
cmake -S . -B build-container -DMOLV_TESTS=OFF -DMOLV_STATIC=ON -DCMAKE_EXE_LINKER_FLAGS=-static \
  -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-container -j2 --target molv molv_standin >/dev/null

# The test image: dist/Containerfile's final stage, taken from it, on the
# static programs instead of Debian and Wine.
context=$work/image
mkdir -p "$context"
cp build-container/molv dist/molv-health "$context/"
cp build-container/tests/standin/molv_standin "$context/deusex-standin"
cp "$busybox" "$context/sh"
{
  echo "FROM scratch"
  echo "COPY sh /bin/sh"
  echo "COPY molv molv-health deusex-standin /usr/local/bin/"
  awk '/^FROM /{stage=""} {stage = stage $0 "\n"} END {printf "%s", stage}' dist/Containerfile |
    grep -E '^(USER|WORKDIR|VOLUME|STOPSIGNAL|EXPOSE|HEALTHCHECK|ENTRYPOINT) '
} >"$context/Containerfile"
"${podman[@]}" build -q --format docker -t "$image" "$context" >>"$podman_log" 2>&1 ||
  { cat "$podman_log" >&2; echo "container: FAILED: the test image could not be built" >&2; exit 1; }
# A user other than root, by number, as Kubernetes' runAsNonRoot needs.
image_user=$("${podman[@]}" image inspect --format '{{.Config.User}}' "$image")
uid=${image_user%%:*}
gid=${image_user#*:}
[ "$gid" != "$image_user" ] || gid=$uid
if ! [[ $uid =~ ^[0-9]+$ && $gid =~ ^[0-9]+$ ]] || [ "$uid" = 0 ]; then
  echo "container: FAILED: the image's user is '$image_user', not a number other than root's" >&2
  exit 1
fi

# The runtime must run a container at all here; else the test is skipped.
# Status 125 and up is podman's own failure, not MOLV's.
run_status=0
version=$("${podman[@]}" run --rm "${run_options[@]}" "$image" --version 2>>"$podman_log") ||
  run_status=$?
if [ "$run_status" -ge 125 ]; then
  skip "the runtime runs no container here: $(grep -m1 'Error' "$podman_log" || echo "status $run_status")"
fi
if [ "$run_status" = 0 ] &&
  [ "$version" = "MOLV $(sed -n 's/^project(molv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]; then
  pass "molv --version runs as $image_user"
else
  fail "molv --version as $image_user in the image said '$version' (status $run_status)"
fi

# A game folder for each container, mounted where the image keeps its
# volume, with the stand-in's record folder in it. MOLV runs in System/.
volume=$(awk '/^VOLUME /{print $2}' "$context/Containerfile")
folder=$(awk '/^WORKDIR /{print $2}' "$context/Containerfile")
new_game_folder() {
  local game=$work/$1 settings=$2
  mkdir -p "$game/${folder#"$volume"/}" "$game/record"
  printf '[GENERAL]\nexename=/usr/local/bin/deusex-standin\non_event=/usr/local/bin/deusex-standin\n%b' \
    "$settings" >"$game/${folder#"$volume"/}/molv.ini"
  chown -R "$uid:$gid" "$game"
  echo "$game"
}
# Starts container $1 on game folder $2, with more options after those.
start_container() {
  local name=$1 game=$2
  shift 2
  containers+=("$name")
  "${podman[@]}" run -d --name "$name" "${run_options[@]}" -v "$game:$volume" \
    -e MOLV_STANDIN_RECORD="$volume/record" "$@" "$image" >>"$podman_log" 2>&1
}
logs() { "${podman[@]}" logs "$1" 2>&1; }
records() { cat "$1/record/records.txt" 2>/dev/null | wc -l; }
backups() {
  find "$1/${folder#"$volume"/}" -maxdepth 1 -regextype posix-extended \
    -regex '.*/[0-9]{1,2}\.[0-9]{1,2}\.[0-9]{4}__[0-9]{2}_[0-9]{2}_[0-9]{2}(-[0-9]+)?\.log' | sort
}
state() { "${podman[@]}" inspect --format "$2" "$1"; }
health() { "${podman[@]}" healthcheck run "$1" >>"$podman_log" 2>&1; }
has_records() { [ "$(records "$1")" -ge "$2" ]; }
has_backups() { [ "$(backups "$1" | wc -l)" -ge "$2" ]; }
has_exited() { [ "$(state "$1" '{{.State.Status}}')" = exited ]; }

# 1. The cycle, the health check while a server runs, and podman stop. The
# stand-in runs three times for a moment (start, end, backup, restart), and
# the fourth time until it is stopped, which it then honours after half a
# second: within stop_timeout.
game=$(new_game_folder cycle 'min_uptime=0\nstop_timeout=10\n')
start_container molv-cycle "$game" -e MOLV_STANDIN_RUN_MS=300,300,300,0 -e MOLV_STANDIN_HOLD=4 \
  -e MOLV_STANDIN_STOP=slow_500
if wait_for has_records "$game" 4 && wait_for has_backups "$game" 3; then
  pass "the cycle runs: 3 ends, 3 backups in the mounted folder, a fourth server running"
else
  fail "the cycle did not run: $(records "$game") servers, $(backups "$game" | wc -l) backups"
fi
owners=$(backups "$game" | xargs -r stat -c '%u:%g' | sort -u)
[ "$owners" = "$uid:$gid" ] && pass "the backups belong to the container's user ($uid:$gid)" ||
  fail "the backups belong to '$owners', not to the container's user $uid:$gid"
if wait_for health molv-cycle; then
  pass "healthy while the server runs"
else
  fail "the health check never reported healthy while the server ran"
fi
"${podman[@]}" stop -t 30 molv-cycle >>"$podman_log" 2>&1 || fail "podman stop failed"
transcript=$(logs molv-cycle)
[ "$(state molv-cycle '{{.State.ExitCode}}')" = 0 ] && pass "podman stop: status 0" ||
  fail "podman stop: status $(state molv-cycle '{{.State.ExitCode}}'), not 0"
[ -f "$game/record/closed-4.txt" ] && ! grep -q 'did not stop within' <<<"$transcript" &&
  pass "podman stop: the server closed on its polite stop, within stop_timeout" ||
  fail "podman stop: the server was not stopped politely within stop_timeout"
[ "$(grep -c 'Gameserver stopped\.' <<<"$transcript")" = 1 ] &&
  grep -q 'Gameserver stopped\.' <<<"$(tail -n 3 <<<"$transcript")" &&
  pass "podman stop: \"Gameserver stopped.\"" || fail "podman stop: no \"Gameserver stopped.\" at the end"
[ "$(backups "$game" | wc -l)" = 4 ] && pass "podman stop: one backup" ||
  fail "podman stop: $(($(backups "$game" | wc -l) - 3)) backups, not one"
ended=$(grep -c '^event=ended' "$game/record/events.txt" || true)
[ "$ended" = 3 ] && pass "podman stop: no ended event (3 for the 3 ends before)" ||
  fail "podman stop: $ended ended events, not the 3 of the ends before the stop"
if grep -q $'\x1b' <<<"$transcript"; then
  fail "podman logs carries escape sequences"
elif grep -q 'Gameserver is now running' <<<"$transcript"; then
  pass "podman logs carries MOLV's lines without colour codes"
else
  fail "podman logs carries none of MOLV's lines"
fi

# 2. The health check during a retry pause: every server ends at once, so
# MOLV pauses 1, 2, 4, ... seconds between starts. A check counts only when
# MOLV's last line said it was pausing both before and after it.
game=$(new_game_folder pause 'min_uptime=60\n')
start_container molv-pause "$game" -e MOLV_STANDIN_RUN_MS=0
unhealthy_in_pause() {
  local before after
  before=$(logs molv-pause)
  grep -q 'Retrying in' <<<"$(tail -n 1 <<<"$before")" || return 1
  if health molv-pause; then
    return 1
  fi
  after=$(logs molv-pause)
  [ "$before" = "$after" ]
}
if wait_for unhealthy_in_pause; then
  pass "unhealthy during a retry pause"
else
  fail "the health check never reported unhealthy during a retry pause"
fi
"${podman[@]}" stop -t 30 molv-pause >>"$podman_log" 2>&1 || fail "podman stop failed"
[ "$(state molv-pause '{{.State.ExitCode}}')" = 0 ] ||
  fail "podman stop in a retry pause: status $(state molv-pause '{{.State.ExitCode}}'), not 0"

# 3. The restart policy: MOLV killed (as the out-of-memory killer would; the
# server goes with it, as it shares the container) is started again, and the
# new MOLV backs up the log the killed one's server left before its first
# start. (podman kill counts as a stop asked for, after which no restart
# policy applies.)
game=$(new_game_folder killed 'min_uptime=0\n')
start_container molv-killed "$game" --restart on-failure -e MOLV_STANDIN_HOLD=1,2
wait_for has_records "$game" 1 || fail "the first server of the killed MOLV never started"
molv_pid=$(state molv-killed '{{.State.Pid}}')
[ "$molv_pid" -gt 1 ] && kill -KILL "$molv_pid" || fail "no MOLV to kill (process '$molv_pid')"
restarted() {
  [ "$(state molv-killed '{{.RestartCount}}')" -ge 1 ] && has_records "$game" 2 &&
    [ "$(logs molv-killed | grep -c 'Gameserver is now running')" -ge 2 ]
}
if wait_for restarted; then
  pass "the restart policy started MOLV again after it was killed"
else
  fail "MOLV was not started again after it was killed ($(state molv-killed '{{.State.Status}}'))"
fi
# The transcript of the new MOLV: from its banner's settings on.
second=$(logs molv-killed | awk '/Loading settings/{n++} n>=2')
first_backup=$(grep -n 'Backing up the log' <<<"$second" | head -n 1 | cut -d: -f1 || true)
first_running=$(grep -n 'Gameserver is now running' <<<"$second" | head -n 1 | cut -d: -f1 || true)
if [ -n "$first_backup" ] && [ -n "$first_running" ] && [ "$first_backup" -lt "$first_running" ] &&
  [ "$(backups "$game" | wc -l)" = 1 ]; then
  pass "the new MOLV backed up the killed one's log before its first start"
else
  fail "the new MOLV did not back up the killed one's log before its first start" \
    "($(backups "$game" | wc -l) backups)"
fi
"${podman[@]}" stop -t 30 molv-killed >>"$podman_log" 2>&1 || fail "podman stop failed"

if [ "$failures" -gt 0 ]; then
  echo "container: $failures check(s) FAILED" >&2
  for container in ${containers[@]+"${containers[@]}"}; do
    echo "--- podman logs $container" >&2
    logs "$container" | grep -vE '^\[[0-9:]+\]   [#= ]' >&2 || true
  done
  exit 1
fi
say "every check passed in $((SECONDS - step_started)) s"
