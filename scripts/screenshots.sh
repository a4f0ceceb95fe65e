#!/bin/sh
# Takes the README's screenshots of the window under Xvfb into docs/.
#   scripts/screenshots.sh [BUILD-DIR]
# Needs xvfb-run, ImageMagick (import, convert) and iconv. Builds the demo
# image, a large image for the scan in progress, an image of files to
# preview (a photo, a picture, UTF-16 text, a program's bytes, a download
# with its Zone.Identifier), and the screenshot driver; a scan with shadow
# copies where the fixtures are beside the project.
set -eu
export PATH="$PATH:/usr/sbin:/sbin"
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
cmake --build "$build" -j2 --target gui_screenshots demo-image deruzera-mkimage
work="$build/screenshots"
mkdir -p "$work"
printf 'format 64M\nbulk 3 6000 80 3 0.5 2\n' > "$work/large.plan"
"$build/tools/deruzera-mkimage" "$work/large.img" "$work/large.plan" "$work/large.tsv" 2>/dev/null

# The files to preview, made here; all of them deleted on the image.
convert -size 480x320 gradient:'#FDB863'-'#3B6FB6' -fill '#F5F0E0' -draw 'circle 360,90 360,50' \
  -fill '#2E5E2E' -draw 'polygon 0,320 120,180 230,260 330,150 480,320' -quality 88 "$work/holiday.jpg"
convert -size 360x240 xc:white -fill '#1C6FC2' -draw 'roundrectangle 20,20 160,110 10,10' \
  -fill '#D02020' -draw 'roundrectangle 200,130 340,220 10,10' -stroke '#404040' -strokewidth 3 \
  -draw 'line 160,65 270,65' -draw 'line 270,65 270,130' "PNG24:$work/diagram.png"
printf 'Notes kept in UTF-16, as Notepad saves "Unicode" text.\r\n\r\nÉtat des lieux : à revoir.\r\nΣημειώσεις · заметки · 备忘录\r\n' |
  iconv -f UTF-8 -t UTF-16 > "$work/notes-utf16.txt"
cat > "$work/previews.plan" <<PLAN
format 32M
copy /Pictures/holiday.jpg $work/holiday.jpg
copy /Pictures/diagram.png $work/diagram.png
copy /Documents/notes-utf16.txt $work/notes-utf16.txt
file /Programs/tool.bin 64K seed=4
text /Downloads/setup.exe MZ the first bytes of a program\n
stream /Downloads/setup.exe Zone.Identifier [ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://example.org/download\r\nHostUrl=https://example.org/files/setup.exe\r\n
delete /Pictures/holiday.jpg
delete /Pictures/diagram.png
delete /Documents/notes-utf16.txt
delete /Programs/tool.bin
delete /Downloads/setup.exe
PLAN
"$build/tools/deruzera-mkimage" "$work/previews.img" "$work/previews.plan" "$work/previews.tsv" 2>/dev/null
# The same quick-formatted over, for the deep scan.
cp "$work/previews.img" "$work/damaged.img"
mkntfs -F -Q -q "$work/damaged.img"
# A disk with two NTFS partitions in a GPT, for the drive list.
printf 'format 24M label=Data\ntext /Documents/letter.txt Dear reader,\\n\ndelete /Documents/letter.txt\n' > "$work/data.plan"
printf 'format 24M label=Backup\nfile /Photos/beach.jpg 300K seed=3\ndelete /Photos/beach.jpg\n' > "$work/backup.plan"
"$build/tools/deruzera-mkimage" "$work/data.img" "$work/data.plan" "$work/data.tsv" 2>/dev/null
"$build/tools/deruzera-mkimage" "$work/backup.img" "$work/backup.plan" "$work/backup.tsv" 2>/dev/null
rm -f "$work/disk.img" && truncate -s 52M "$work/disk.img"
printf 'label: gpt\nstart=2048, size=49152, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=Data\nstart=51200, size=49152, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=Backup\n' |
  sfdisk -q "$work/disk.img"
dd if="$work/data.img" of="$work/disk.img" bs=512 seek=2048 conv=notrunc status=none
dd if="$work/backup.img" of="$work/disk.img" bs=512 seek=51200 conv=notrunc status=none
# A Windows volume with shadow copies, where the fixtures are beside the project.
shadow=""
if [ -f "$here/../shared/fixtures/vsstest.qcow2" ]; then
  cp "$here/../shared/fixtures/vsstest.qcow2" "$work/vsstest.qcow2"
  shadow="$work/vsstest.qcow2"
fi
# The window's fonts are fixed in pixels; 96 dots per inch as on the original.
# The screen is larger than the window, for the shots of it made as large.
LC_ALL=C.UTF-8 TZ="${TZ:-UTC}" xvfb-run -a -s "-screen 0 1440x900x24 -dpi 96" \
  "$build/tests/gui/gui_screenshots" "$here/docs" "$build/demo/demo.img" "$work/large.img" "$work/previews.img" "$work/disk.img" "$work/damaged.img" $shadow
