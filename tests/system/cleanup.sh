#!/usr/bin/env bash
# Undoes what services.sh set up, from the steps it noted in STATE/steps,
# last first:
#
#   cleanup.sh STATE               run by the test's EXIT trap
#   cleanup.sh --watch PID STATE   a watchdog: waits for the test (PID) to end
#                                  and cleans up if the test could not
#
# Steps (one a line): pid NAME PID STARTTIME | loop DEVICE MODE OWNER |
# user NAME | file PATH | socket PATH | rmdir DIR | rmrun DIR | dir DIR.
# Daemons are stopped by their pid, only while that pid is still the process
# that was started (same start time). Safe to run twice.
export PATH="$PATH:/usr/sbin:/sbin"

if [ "${1:-}" = "--watch" ]; then
  pid="$2"; state="$3"
  while kill -0 "$pid" 2>/dev/null && [ -d "$state" ]; do sleep 1; done
  [ -d "$state" ] || exit 0
  exec bash "$0" "$state"
fi

state="$1"
[ -f "$state/steps" ] || exit 0
exec 9>>"$state/lock"
flock 9

stop_pid() {  # stop_pid NAME PID STARTTIME
  local name="$1" pid="$2" start="$3" now i
  now=$(awk '{print $22}' "/proc/$pid/stat" 2>/dev/null) || return 0
  [ "$now" = "$start" ] || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    # A zombie of ours counts as gone.
    [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = Z ] && return 0
    sleep 0.1
  done
  echo "[system] $name ($pid) did not stop: killing it" >&2
  kill -KILL "$pid" 2>/dev/null
}

tac "$state/steps" | while read -r kind a b c; do
  case "$kind" in
    pid) stop_pid "$a" "$b" "$c" ;;
    loop)
      losetup -d "$a" 2>/dev/null
      command -v udevadm >/dev/null && timeout 10 udevadm settle -t 8 >/dev/null 2>&1
      chmod "$b" "$a" 2>/dev/null; chown "$c" "$a" 2>/dev/null ;;
    user)
      # Whatever the test left running as its user, by pid.
      for p in $(pgrep -u "$a" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
      userdel -r "$a" >/dev/null 2>&1 || userdel "$a" >/dev/null 2>&1 ;;
    file) rm -f "$a" "$a.tmp" ;;
    socket) [ -S "$a" ] && rm -f "$a" ;;
    rmdir) rmdir "$a" 2>/dev/null ;;
    rmrun) rm -rf "$a" ;;
    # The temp dir, which holds the state, was noted first and goes last.
    dir) case "$a" in /tmp/deruzera-system.*) rm -rf "$a" ;; esac ;;
  esac
done
exit 0
