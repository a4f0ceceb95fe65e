# The real system services a normal user reaches a disk through, started
# privately for a test: a system D-Bus of its own, udev, polkit and udisks2;
# an NTFS image on a read-only loop device that only root may read; and a
# throwaway user with or without polkit's permission to open devices.
# Source this file from a bash test run as root:
#
#   . services.sh
#   sys_init                      # temp dir, cleanup on every way out
#   sys_require_root              # or skip (exit 77) with the reason
#   sys_require_tools
#   sys_start_bus; sys_start_udev; sys_start_polkit; sys_start_udisks
#   sys_attach_image IMAGE        # sets SYS_LOOP (/dev/loopN, mode 600 root)
#   sys_add_user                  # sets SYS_USER
#   sys_grant_open_device yes     # polkit rule: yes | password | (revoke)
#   bin=$(sys_user_copy PROGRAM)  # a copy the user may run
#   sys_run_as_user "$bin" ARGS...
#   sys_run_as_user_on_terminal PASSWORD "$bin" ARGS...
#
# Every daemon is stopped by its process id, the loop device detached, the
# user and the rule removed: by an EXIT trap, and by a watchdog outside the
# test's process tree should the test itself be killed.
#
# SYS_BUS_ADDRESS is the bus's address; every command run as the user gets
# it as DBUS_SYSTEM_BUS_ADDRESS. Where /run/dbus/system_bus_socket is free
# the bus listens there too (SYS_STANDARD_SOCKET=1): polkit's setuid
# password helper ignores the environment and knows only that path.

SYS_HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export PATH="$PATH:/usr/sbin:/sbin"

sys_log() { echo "[system] $*" >&2; }
sys_skip() { echo "skipped: $*"; exit 77; }
sys_fail() { echo "FAIL: $*" >&2; exit 1; }

# Appends one cleanup step to the state file (see cleanup.sh).
sys_note() { echo "$*" >> "$SYS_STATE/steps"; }

# Program paths as Debian 12 installs them.
sys_find() {  # sys_find CANDIDATE... -> the first executable
  local p
  for p in "$@"; do [ -x "$p" ] && { echo "$p"; return 0; }; done
  return 1
}

sys_init() {
  SYS_TMP=$(mktemp -d /tmp/deruzera-system.XXXXXX) || sys_fail "mktemp"
  chmod 755 "$SYS_TMP"               # the user runs programs copied here
  SYS_STATE="$SYS_TMP/state"
  mkdir -p "$SYS_STATE" "$SYS_TMP/bin"
  : > "$SYS_STATE/steps"
  sys_note dir "$SYS_TMP"
  trap 'sys_cleanup' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  # Outlives a killed test: setsid -f leaves the test's process tree.
  if [ "$(id -u)" -eq 0 ]; then
    setsid -f bash "$SYS_HERE/cleanup.sh" --watch "$$" "$SYS_STATE" </dev/null >/dev/null 2>&1
  fi
  # Ends the test (and so cleans up) after SYS_DEADLINE seconds, well within
  # CTest's limit, should a service hang.
  local test_pid=$$ limit="${SYS_DEADLINE:-420}"
  (
    for ((i = 0; i < limit; i++)); do sleep 1; kill -0 "$test_pid" 2>/dev/null || exit 0; done
    echo "FAIL: the system test ran out of time (${limit} s)" >&2
    kill -TERM "$test_pid"
  ) </dev/null &
  sys_note_pid deadline "$!"
}

sys_cleanup() {
  local rc=$?
  trap '' INT TERM HUP   # the cleanup runs to its end
  [ -n "${SYS_STATE:-}" ] && [ -d "$SYS_STATE" ] && bash "$SYS_HERE/cleanup.sh" "$SYS_STATE"
  exit "$rc"
}

sys_require_root() {
  [ "$(id -u)" -eq 0 ] || sys_skip "needs root (starts system services, loop devices and users)"
}

sys_require_tools() {
  command -v dbus-daemon >/dev/null || sys_skip "dbus-daemon not installed (apt-get install dbus)"
  command -v dbus-send >/dev/null || sys_skip "dbus-send not installed (apt-get install dbus-bin)"
  SYS_UDEVD=$(sys_find /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd) ||
    sys_skip "systemd-udevd not installed (apt-get install udev)"
  command -v udevadm >/dev/null || sys_skip "udevadm not installed (apt-get install udev)"
  SYS_POLKITD=$(sys_find /usr/lib/polkit-1/polkitd /usr/libexec/polkitd /usr/libexec/polkit-1/polkitd) ||
    sys_skip "polkitd not installed (apt-get install polkitd)"
  SYS_UDISKSD=$(sys_find /usr/libexec/udisks2/udisksd /usr/lib/udisks2/udisksd) ||
    sys_skip "udisksd not installed (apt-get install udisks2)"
  command -v udisksctl >/dev/null || sys_skip "udisksctl not installed (apt-get install udisks2)"
  local t
  for t in losetup setpriv setsid useradd userdel chpasswd; do
    command -v "$t" >/dev/null || sys_skip "$t not installed"
  done
  [ -d /etc/polkit-1/rules.d ] || sys_skip "/etc/polkit-1/rules.d missing (apt-get install polkitd)"
}

# Tries the command until it succeeds, for up to $1 seconds.
sys_wait() {
  local end=$((SECONDS + $1)); shift
  while ((SECONDS < end)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

sys_bus_has() {  # sys_bus_has NAME: the name has an owner on our bus
  dbus-send --bus="$SYS_BUS_ADDRESS" --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true"
}

# Records a started daemon: its pid and the start time that tells it from a
# later process with the same pid.
sys_note_pid() {  # sys_note_pid NAME PID
  local start
  start=$(awk '{print $22}' "/proc/$2/stat" 2>/dev/null) || start=0
  sys_note pid "$1" "$2" "$start"
}

sys_start_bus() {
  local standard=/run/dbus/system_bus_socket listen
  listen="<listen>unix:path=$SYS_TMP/system_bus_socket</listen>"
  SYS_STANDARD_SOCKET=0
  if [ ! -e "$standard" ]; then
    if [ ! -d /run/dbus ]; then mkdir -p /run/dbus && sys_note rmdir /run/dbus; fi
    listen="$listen<listen>unix:path=$standard</listen>"
    SYS_STANDARD_SOCKET=1
    sys_note socket "$standard"
  else
    sys_log "$standard is taken: the terminal password step will be skipped"
  fi
  # The system bus's rules (users, policies of the services), without its
  # service activation: this test starts each service itself.
  cat > "$SYS_TMP/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  $listen
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
EOF
  local out
  out=$(timeout 20 dbus-daemon --config-file="$SYS_TMP/bus.conf" --fork --print-pid=1 --print-address=1 \
        2>"$SYS_TMP/dbus.log") || sys_fail "dbus-daemon did not start: $(cat "$SYS_TMP/dbus.log")"
  local pid
  pid=$(echo "$out" | sed -n 2p)
  [[ "$pid" =~ ^[0-9]+$ ]] || sys_fail "dbus-daemon printed no pid: $out"
  sys_note_pid dbus-daemon "$pid"
  SYS_BUS_ADDRESS="unix:path=$SYS_TMP/system_bus_socket"
  export DBUS_SYSTEM_BUS_ADDRESS="$SYS_BUS_ADDRESS"
  sys_wait 10 sys_bus_has org.freedesktop.DBus || sys_fail "the bus does not answer"
  sys_log "dbus-daemon $pid at $SYS_BUS_ADDRESS$( ((SYS_STANDARD_SOCKET)) && echo " and $standard")"
}

sys_start_udev() {
  if timeout 5 udevadm control --ping >/dev/null 2>&1; then
    sys_log "udevd already runs: using it"
    return 0
  fi
  [ -d /run/udev ] || sys_note rmrun /run/udev
  # In the foreground of a background job, so that its pid is known.
  "$SYS_UDEVD" > "$SYS_TMP/udevd.log" 2>&1 &
  sys_note_pid systemd-udevd "$!"
  sys_wait 10 udevadm control --ping || sys_skip "systemd-udevd does not run here: $(tail -3 "$SYS_TMP/udevd.log")"
  sys_log "systemd-udevd $!"
}

sys_start_polkit() {
  # Started as root, polkitd changes to its own user (polkitd) itself.
  "$SYS_POLKITD" --no-debug > "$SYS_TMP/polkitd.log" 2>&1 &
  sys_note_pid polkitd "$!"
  sys_wait 20 sys_bus_has org.freedesktop.PolicyKit1 ||
    sys_fail "polkitd did not take its name: $(tail -5 "$SYS_TMP/polkitd.log")"
  sys_log "polkitd $!"
}

sys_start_udisks() {
  "$SYS_UDISKSD" > "$SYS_TMP/udisksd.log" 2>&1 &
  sys_note_pid udisksd "$!"
  sys_wait 30 sys_bus_has org.freedesktop.UDisks2 ||
    sys_fail "udisksd did not take its name: $(tail -5 "$SYS_TMP/udisksd.log")"
  sys_log "udisksd $!"
}

# Attaches IMAGE read-only to a free loop device, lets udev and udisks2 see
# it, then leaves the node readable by root only. Sets SYS_LOOP.
sys_attach_image() {
  local image="$1" free mode
  [ -e /dev/loop-control ] || sys_skip "no loop devices here (/dev/loop-control missing)"
  free=$(losetup -f 2>/dev/null) || sys_skip "no free loop device"
  mode=$(stat -c '%a %u:%g' "$free" 2>/dev/null || echo "660 0:6")
  SYS_LOOP=$(losetup -r --show "$free" "$image" 2>/dev/null || losetup -r -f --show "$image" 2>/dev/null) ||
    sys_skip "losetup could not attach the image (no loop devices here)"
  [ "$SYS_LOOP" = "$free" ] || mode=$(stat -c '%a %u:%g' "$SYS_LOOP")
  sys_note loop "$SYS_LOOP" "$mode"
  udevadm trigger --action=add "$SYS_LOOP" >/dev/null 2>&1
  timeout 30 udevadm settle -t 25 >/dev/null 2>&1
  local entry="/run/udev/data/b$(stat -c '%t:%T' "$SYS_LOOP" | { IFS=: read -r ma mi; echo "$((16#$ma)):$((16#$mi))"; })"
  sys_wait 10 grep -q '^E:ID_FS_TYPE=' "$entry" ||
    sys_skip "udev did not probe $SYS_LOOP (no $entry): device events don't reach udev here"
  sys_wait 30 udisksctl info -b "$SYS_LOOP" || sys_fail "udisks2 does not know $SYS_LOOP"
  chown root:root "$SYS_LOOP"
  chmod 600 "$SYS_LOOP"
  sys_log "$SYS_LOOP holds $(basename "$image") read-only, mode $(stat -c '%a %U:%G' "$SYS_LOOP")"
}

# A throwaway user with a password (for the terminal prompt), home under
# the temp dir. Sets SYS_USER and SYS_USER_PASSWORD.
sys_add_user() {
  SYS_USER="dzs$$$(printf '%04d' $((RANDOM % 10000)))"
  SYS_USER_PASSWORD="pw-$RANDOM-$RANDOM"
  useradd -m -d "$SYS_TMP/home" -s /bin/sh -U "$SYS_USER" >/dev/null 2>&1 || sys_fail "useradd $SYS_USER"
  sys_note user "$SYS_USER"
  echo "$SYS_USER:$SYS_USER_PASSWORD" | chpasswd || sys_fail "chpasswd"
  sys_log "user $SYS_USER ($(id -u "$SYS_USER"))"
}

# The polkit rule for the user and the two actions of Block.OpenForBackup
# (org.freedesktop.udisks2.open-device, and open-device-system for system
# devices, loop devices set up by root among them): yes | password | none.
# polkitd reads rules.d again on every change; the caller waits for it.
sys_grant_open_device() {
  local result rule="/etc/polkit-1/rules.d/49-deruzera-test-$SYS_USER.rules"
  case "$1" in
    yes) result=YES ;;
    password) result=AUTH_SELF ;;
    none) rm -f "$rule"; sys_log "polkit rule removed"; return 0 ;;
    *) sys_fail "sys_grant_open_device yes|password|none" ;;
  esac
  [ -n "${SYS_RULE_NOTED:-}" ] || { sys_note file "$rule"; SYS_RULE_NOTED=1; }
  cat > "$rule.tmp" <<EOF
// Written by the system test of NTFS Deruzera for its throwaway user.
polkit.addRule(function(action, subject) {
    if ((action.id == "org.freedesktop.udisks2.open-device" ||
         action.id == "org.freedesktop.udisks2.open-device-system") &&
        subject.user == "$SYS_USER") {
        return polkit.Result.$result;
    }
});
EOF
  mv -f "$rule.tmp" "$rule"
  sys_log "polkit rule: $SYS_USER may open devices ($result)"
}

# A copy of PROGRAM the user may run (the build tree may be out of reach).
sys_user_copy() {
  local target="$SYS_TMP/bin/$(basename "$1")"
  install -m 755 "$1" "$target" && echo "$target"
}

# Runs a command as the user, with the bus address and a clean environment
# (the sanitizers' settings kept), for at most two minutes.
sys_run_as_user() {
  local keep=() v
  for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS QT_QPA_PLATFORM; do
    [ -n "${!v:-}" ] && keep+=("$v=${!v}")
  done
  timeout -k 5 120 setpriv --reuid="$SYS_USER" --regid="$SYS_USER" --init-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$SYS_TMP/home" USER="$SYS_USER" LOGNAME="$SYS_USER" \
    LANG=C.UTF-8 TZ="${TZ:-UTC0}" DBUS_SYSTEM_BUS_ADDRESS="$SYS_BUS_ADDRESS" "${keep[@]}" "$@"
}

# The same on a pseudo-terminal, typing ANSWER at polkit's password prompt.
sys_run_as_user_on_terminal() {
  local answer="$1"; shift
  local pty
  pty=$(sys_user_copy "$SYS_PTY_ANSWER") || return 125
  sys_run_as_user "$pty" "$answer" "$@"
}
