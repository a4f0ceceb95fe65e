#!/usr/bin/env bash
# Seeds of the partitions and mapfile fuzz targets, made by the tools that
# write them: small disks by sfdisk and sgdisk, maps by ddrescue and
# ddrescuelog. A tool that is missing leaves its seeds out.
#
#   fuzz/make-source-seeds.sh SEEDDIR
set -u
seeds=$1
mkdir -p "$seeds/partitions" "$seeds/mapfile"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$PATH:/usr/sbin:/sbin"
cd "$work"
if command -v sfdisk > /dev/null; then
  # One MiB each: a primary and an extended partition with three logical ones.
  truncate -s 1M mbr.img
  printf 'label: dos\nstart=8, size=200, type=7\nstart=300, type=5\nstart=310, size=100, type=7\nstart=420, size=100, type=83\nstart=530, size=100, type=7\n' |
    sfdisk -q mbr.img > /dev/null 2>&1 && cp mbr.img "$seeds/partitions/mbr-logical.img"
fi
if command -v sgdisk > /dev/null; then
  truncate -s 1M gpt.img
  sgdisk -o -a 8 -n 1:40:+200K -t 1:0700 -c 1:First -n 2:0:+300K -t 2:8300 -c 2:Second gpt.img > /dev/null 2>&1 &&
    cp gpt.img "$seeds/partitions/gpt.img"
fi
if command -v ddrescue > /dev/null; then
  truncate -s 64K source.img
  ddrescue -q source.img copy.img rescued.map > /dev/null 2>&1 && cp rescued.map "$seeds/mapfile/ddrescue.map"
  printf '3\n4\n9\n' | ddrescuelog -b 4096 -c-+ bad.map > /dev/null 2>&1 && cp bad.map "$seeds/mapfile/ddrescuelog.map"
fi
exit 0
