#!/usr/bin/env bash
# A normal user reads a disk only root may read, through udisks2 and polkit,
# with the real services (see services.sh):
#
#   1. the drive list (from udisks2) shows the loop device as NTFS;
#   2. with polkit's permission the device opens through udisks2 and reads
#      the same bytes root reads;
#   3. without it the open is refused as not authorised, with its text;
#   4. no udisks2 to ask, and no such device, give their own reasons;
#   5. at a terminal, polkit asks the password through pkttyagent: the right
#      one opens the device, a wrong one is refused.
#
#   6. the companion and the window, run as that user, list the drive, find
#      exactly the deleted files of the image, and recover one byte for byte.
#
#   udisks_access_test.sh ACCESS_PROBE MKIMAGE PTY_ANSWER CLI [WINDOW_PROBE]
#
# Exit 0 passed, 1 failed, 77 skipped (with the reason on stdout).
set -u
probe_built="$1"; mkimage="$2"; SYS_PTY_ANSWER="$3"; cli_built="$4"; window_built="${5:-}"
. "$(dirname "$0")/services.sh"

sys_require_root
sys_require_tools
sys_init
started=$(date +%s)

failures=0; passed=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); fi
}
has() { grep -qxF -- "$2" <<< "$1"; }          # has TEXT LINE: TEXT holds LINE exactly
has_prefix() {  # has_prefix TEXT PREFIX: a line of TEXT starts with PREFIX
  local line
  while IFS= read -r line; do [[ "$line" == "$2"* ]] && return 0; done <<< "$1"
  return 1
}
after() { grep -A1 -xF -- "$2" <<< "$1" | sed -n 2p; }  # after TEXT LINE: the line after LINE
field() { sed -n "s/^$2: //p" <<< "$1" | head -1; }   # field TEXT KEY

# ---- The image: a few live and deleted files -------------------------------
image="$SYS_TMP/volume.img"; MANIFEST="$SYS_TMP/volume.manifest.tsv"
cat > "$SYS_TMP/volume.plan" <<'PLAN'
format 16M cluster=4096 label=SYSTEST
mkdir /Docs/Deep
text /Docs/keep.txt still here\n
text /Docs/gone.txt deleted text\n
file /Docs/Deep/big.bin 300K seed=3
file /Photos/pic.jpg 40K seed=5
delete /Docs/gone.txt
delete /Docs/Deep/big.bin
delete /Photos/pic.jpg
PLAN
"$mkimage" "$image" "$SYS_TMP/volume.plan" "$MANIFEST" >"$SYS_TMP/mkimage.log" 2>&1 ||
  sys_fail "the image was not built: $(tail -3 "$SYS_TMP/mkimage.log")"
chmod 600 "$image" "$MANIFEST"

# ---- The services ------------------------------------------------------------
sys_start_bus
sys_start_udev
sys_start_polkit
sys_start_udisks
sys_attach_image "$image"
sys_add_user
probe=$(sys_user_copy "$probe_built")
sys_log "services up in $(( $(date +%s) - started )) s"

check "the user may not read $SYS_LOOP itself" \
  bash -c "! timeout 10 setpriv --reuid='$SYS_USER' --regid='$SYS_USER' --init-groups head -c 1 '$SYS_LOOP' >/dev/null 2>&1"
root_head=$(head -c 1048576 "$SYS_LOOP" | sha256sum | cut -d' ' -f1)

# ---- 1. The drive list -------------------------------------------------------
out=$(sys_run_as_user "$probe" list)
echo "$out" | sed 's/^/  list: /'
check "the list comes from udisks2" has "$out" "source: udisks2"
check "the list shows $SYS_LOOP as fixed NTFS of 16 MiB" \
  grep -qP "^[C-Z]:\t$SYS_LOOP\tNTFS\tfixed\t16777216$" <<< "$out"

# ---- 2. Allowed --------------------------------------------------------------
sys_grant_open_device yes
read_as_user() { sys_run_as_user "$probe" read "$@"; }
granted() { read_as_user "$SYS_LOOP" | grep -qx "reason: none"; }
check "polkit's rule takes effect" sys_wait 20 granted
out=$(read_as_user "$SYS_LOOP"); rc=$?
echo "$out" | sed 's/^/  allowed: /'
check "allowed: exit 0" test "$rc" -eq 0
check "allowed: opened through udisks2" has "$out" "opened: udisks2"
check "allowed: an NTFS boot sector" has "$out" "oem: NTFS    "
check "allowed: the size of the volume" has "$out" "size: 16777216"
check "allowed: the bytes root reads" test "$(field "$out" sha256-head)" = "$root_head"
# Through a symlink of the node, as /dev/disk/by-label names it.
label_link=/dev/disk/by-label/SYSTEST
if [ -L "$label_link" ]; then
  out=$(read_as_user "$label_link")
  check "allowed: through $label_link" test "$(field "$out" sha256-head)" = "$root_head"
fi
# Root opens it directly.
out=$("$probe_built" read "$SYS_LOOP")
check "root: opened directly" has "$out" "opened: directly"
check "root: the same bytes" test "$(field "$out" sha256-head)" = "$root_head"

# ---- 6. The companion and the window, as the user ---------------------------------
cli=$(sys_user_copy "$cli_built")
deleted=$(awk -F'\t' '$1 == "deleted" && $2 == "file" {print $3}' "$MANIFEST" | sort -n | tr '\n' ' ')
big_record=$(awk -F'\t' '$7 == "/Docs/Deep/big.bin" {print $3}' "$MANIFEST")
big_sha=$(awk -F'\t' '$7 == "/Docs/Deep/big.bin" {print $6}' "$MANIFEST")
out=$(sys_run_as_user "$cli" scan --json "$SYS_LOOP" 2>"$SYS_TMP/cli.err"); rc=$?
check "companion: scan exits 0" test "$rc" -eq 0
found=$(sed -n 's/^{"record":\([0-9]*\),.*/\1/p' <<< "$out" | sort -n | tr '\n' ' ')
check "companion: exactly the deleted files ($deleted)" test "$found" = "$deleted"
install -d -o "$SYS_USER" "$SYS_TMP/out"
sys_run_as_user "$cli" recover "$SYS_LOOP" "$big_record" "$SYS_TMP/out/big.bin" 2>"$SYS_TMP/cli.err"; rc=$?
check "companion: recover exits 0" test "$rc" -eq 0
check "companion: the manifest's bytes" test "$(sha256sum < "$SYS_TMP/out/big.bin" | cut -d' ' -f1)" = "$big_sha"
if [ -n "$window_built" ]; then
  window=$(sys_user_copy "$window_built")
  out=$(QT_QPA_PLATFORM=offscreen sys_run_as_user "$window" "$SYS_LOOP" big.bin "$SYS_TMP/out/window-big.bin" 2>&1)
  echo "$out" | sed 's/^/  window: /'
  check "window: the drive is listed as NTFS" grep -qP "^listed: [C-Z]: NTFS$" <<< "$out"
  check "window: the scan completed" has "$out" "last line: Found 3 deleted files"
  check "window: exactly the deleted files" test "$(sed -n 's/^records: //p' <<< "$out" | tr ' ' '\n' | sort -n | tr '\n' ' ' | sed 's/^ //')" = "$deleted"
  check "window: the manifest's bytes" has "$out" "recovered: $big_sha"
else
  echo "skipped: the window (built without Qt)"
fi

# ---- 3. Not authorised -------------------------------------------------------
sys_grant_open_device none
refused() { read_as_user "$SYS_LOOP" | grep -qx "reason: not-authorised"; }
check "the rule's removal takes effect" sys_wait 20 refused
out=$(read_as_user "$SYS_LOOP"); rc=$?
echo "$out" | sed 's/^/  refused: /'
check "refused: exit 1" test "$rc" -eq 1
# polkit wants an administrator's password, and no agent runs to ask it.
check "refused: polkit's error" has "$out" "dbus-error: org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"
check "refused: the system's line" has "$out" "Error: Invalid handle value"
check "refused: ours after it" test "$(after "$out" "Error: Invalid handle value")" = \
  "Access to $SYS_LOOP was refused: polkit wants a password and no agent could ask for it. Run as root, or from a desktop session or a terminal."

# ---- 4. Nobody to ask, nothing there -------------------------------------------
out=$(sys_run_as_user env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$SYS_TMP/no-bus" "$probe" read "$SYS_LOOP")
echo "$out" | sed 's/^/  no udisks2: /'
check "no udisks2: permission denied" has "$out" "reason: permission-denied"
check "no udisks2: its text" has "$out" \
  "Access to $SYS_LOOP was refused: permission denied, and the disk service udisks2 is not running to ask for it. Run as root or start udisks2."
out=$(sys_run_as_user env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$SYS_TMP/no-bus" "$probe" list)
check "no udisks2: the list comes from sysfs" has "$out" "source: sysfs"
check "no udisks2: the list still has $SYS_LOOP" grep -qP "^[C-Z]:\t$SYS_LOOP\t" <<< "$out"
out=$(read_as_user /dev/deruzera-no-such-device)
check "no such device: its reason" has "$out" "reason: no-such-device"
check "no such device: its text" has "$out" "No such device: /dev/deruzera-no-such-device"

# ---- 5. The password at a terminal ---------------------------------------------
if ((SYS_STANDARD_SOCKET)); then
  sys_grant_open_device password
  sleep 2   # polkitd reloads its rules on the change
  on_terminal() {  # on_terminal PASSWORD: the probe's output at a terminal
    local attempt out
    for attempt in 1 2 3; do
      # The agent's lines are coloured: keep the text.
      out=$(sys_run_as_user_on_terminal "$1" "$probe" read --terminal "$SYS_LOOP" |
            tr -d '\r' | sed 's/\x1b\[[0-9;]*m//g')
      # Until the rule is read, polkit asks for an administrator instead.
      grep -q "Authenticating as: $SYS_USER" <<< "$out" && break
      sleep 1
    done
    printf '%s\n' "$out"
  }
  out=$(on_terminal "$SYS_USER_PASSWORD")
  echo "$out" | sed 's/^/  terminal: /'
  check "terminal: polkit asks for the user's password" grep -q "Authenticating as: $SYS_USER" <<< "$out"
  check "terminal: the right password opens it" has "$out" "opened: udisks2"
  check "terminal: the same bytes" test "$(field "$out" sha256-head)" = "$root_head"
  out=$(on_terminal "not-$SYS_USER_PASSWORD")
  echo "$out" | sed 's/^/  wrong password: /'
  check "wrong password: not authorised" has "$out" "reason: not-authorised"
  check "wrong password: polkit's refusal" has "$out" "dbus-error: org.freedesktop.UDisks2.Error.NotAuthorized"
  check "wrong password: its text" has_prefix "$out" "Access to $SYS_LOOP was refused: not authorised by polkit."
else
  echo "skipped: the terminal password step (/run/dbus/system_bus_socket belongs to another bus)"
fi

echo "system test took $(( $(date +%s) - started )) s"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
