#!/usr/bin/env bash
# Builds NTFS images with deruzera-mkimage at several cluster and sector
# sizes and checks each manifest against The Sleuth Kit: geometry (fsstat),
# live paths and record numbers (fls), deleted entries (fls -d), content
# hashes (icat), sparse holes and fragmented runs (istat), MFT record flags
# of deleted directories, MFT fragmentation, a small bulk tree, repeatable
# output and the handling of bad plans.
#
# usage: check_images.sh PATH/TO/deruzera-mkimage [WORKDIR]
set -u -o pipefail

MKIMAGE=$1
WORK=${2:-}
for tool in fsstat fls icat istat sha256sum od; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (apt-get install sleuthkit)"
        exit 77
    fi
done
if [ -z "$WORK" ]; then
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
fi
mkdir -p "$WORK"

failures=0
checks=0
fail() {
    echo "FAIL [$CASE]: $*"
    failures=$((failures + 1))
}
pass() {
    checks=$((checks + 1))
}

# Numbers of the clusters of a record's $DATA, one per line, from istat.
data_clusters() {
    istat "$1" "$2" | awk '/^Type: \$DATA/ {d = 1; next} /^Type:/ {d = 0} d' | tr ' ' '\n' | grep -v '^$'
}
# A literal string as an extended regular expression.
escape_ere() {
    sed 's/[][\.*^$+?(){}|/]/\\&/g' <<<"$1"
}
# Runs in a cluster list (holes, shown as 0, count as breaks).
count_runs() {
    awk 'NR > 1 && $1 != p + 1 {r++} {p = $1} END {print (NR ? r + 1 : 0)}'
}
# The 16-bit MFT record flags of record $2, from $MFT's own data.
record_flags() {
    local mft=$3 size=$4
    od -An -tu2 -j $(($2 * size + 22)) -N2 "$mft" | tr -d ' '
}

# Compares the manifest with the image. $1 image, $2 manifest, $3 stderr of
# the builder (notes about overwritten deleted files), $4 (optional) check
# only every Nth entry one by one.
check_manifest() {
    local img=$1 man=$2 log=$3 every=${4:-1}
    local fls_live="$WORK/$CASE.fls" fls_all="$WORK/$CASE.flsd" mft="$WORK/$CASE.mft"
    fls -r -p "$img" >"$fls_live" || { fail "fls failed"; return; }
    fls -r -d -p "$img" >"$fls_all" || { fail "fls -d failed"; return; }
    icat "$img" 0 >"$mft" || { fail "icat of \$MFT failed"; return; }
    [ "$(head -1 "$man")" = $'state\tkind\trecord\tparent\tsize\tsha256\tpath' ] && pass || fail "manifest header"
    local recsize
    recsize=$(fsstat "$img" | awk -F': ' '/^Size of MFT Entries/ {print $2 + 0}')

    # Live entries: exactly the allocated, non-system entries fls lists.
    diff <(awk -F'\t' 'NR > 1 && $1 == "live" {print ($2 == "dir" ? "d" : "r"), $3, substr($7, 2)}' "$man" | sort) \
         <(grep -v ' \* ' "$fls_live" | grep -v $'\t\\$' |
           sed -E 's#^(.)/. ([0-9]+)-[0-9]+-[0-9]+:\t#\1 \2 #' | sort) >"$WORK/$CASE.diff" \
        && pass || fail "live entries differ from fls -r -p:$(head -20 "$WORK/$CASE.diff")"

    local state kind rec parent size sha path got
    while IFS=$'\t' read -r state kind rec parent size sha path; do
        if [ "$state" != reused ]; then
            # The record's own name: parent record and name as in the manifest.
            got=$(istat "$img" "$rec" | awk '/^Parent MFT Entry:/ {p = $4} /^Name: / && !n {n = substr($0, 7)}
                END {print p "/" n}')
            [ "$got" = "$parent/${path##*/}" ] && pass || fail "istat $rec: parent/name $got, manifest $parent/${path##*/}"
        fi
        case "$state/$kind" in
        live/file)
            got=$(icat "$img" "$rec" | sha256sum | cut -c1-64)
            [ "$got" = "$sha" ] && pass || fail "icat $rec ($path): $got, manifest $sha"
            ;;
        live/dir)
            [ "$(record_flags "$img" "$rec" "$mft" "$recsize")" = 3 ] && pass || fail "live dir $path: flags not 3"
            ;;
        deleted/*)
            # fls -d lists it, with its record number, at its full path.
            grep -qxE -- "[-a-z]/[-a-z] \* $rec-[0-9]+-[0-9]+:"$'\t'"$(escape_ere "${path#/}")" "$fls_all" \
                && pass || fail "fls -d does not list deleted $path (record $rec)"
            if [ "$kind" = dir ]; then
                [ "$(record_flags "$img" "$rec" "$mft" "$recsize")" = 2 ] && pass || fail "deleted dir $path: flags not 2"
            else
                [ "$(record_flags "$img" "$rec" "$mft" "$recsize")" = 0 ] && pass || fail "deleted file $path: flags not 0"
                if ! grep -qF "deleted $path (record $rec)" "$log"; then
                    got=$(icat -r "$img" "$rec" 2>/dev/null | sha256sum | cut -c1-64)
                    [ "$got" = "$sha" ] && pass || fail "icat of deleted $rec ($path): $got, manifest $sha"
                fi
            fi
            ;;
        reused/*)
            # An entry created later holds the record now.
            awk -F'\t' -v r="$rec" -v p="$path" '$7 == p {seen = 1; next} seen && $3 == r {found = 1}
                END {exit !found}' "$man" \
                && pass || fail "reused record $rec ($path) is not taken by a later entry"
            ;;
        esac
    done < <(awk -v n="$every" 'NR > 1 && NR % n == 0' "$man")
}

run_builder() {
    local img=$1 plan=$2 man=$3 log=$4
    local start=$SECONDS
    if ! "$MKIMAGE" "$img" "$plan" "$man" 2>"$log"; then
        fail "deruzera-mkimage failed: $(cat "$log")"
        return 1
    fi
    echo "[$CASE] built in $((SECONDS - start)) s"
}

write_plan() {
    local cluster=$1 sector=$2
    cat <<PLAN
format 48M cluster=$cluster sector=$sector label=T$cluster
mkdir /docs/deep/deeper
text /readme.txt Hello,\nworld\n
text "/docs/space name.txt" a path with spaces # and a hash
file /docs/resident.bin 200 seed=1
file /docs/deep/big.bin 700K seed=2
file /docs/deep/deeper/empty.dat 0
file "/юникод/файл отчёта.txt" 3K
file /漢字/文件.bin 5000
file "/emoji 😀/🎵𝄞.dat" 1500
sparse /sparse.bin 4M 0:10000 2M:70000 4000000:194304 seed=3
interleave 8K /frag/a.bin:200K /frag/b.bin:200K /frag/c.bin:120K seed=5
file /del/gone-big.bin 300K seed=4
file /del/gone-small.txt 100
text /del/gone.txt This text was deleted.
file "/del/удалён 😀.bin" 9K
mkdir /deltree/sub
file /deltree/sub/x.bin 20K
text /deltree/y.txt y
PLAN
    # Deleted, then their records go to the files created after them.
    for i in 1 2 3 4 5 6; do
        echo "file /reuse/r$i.bin $((i * 150)) seed=$i"
    done
    echo "rmtree /reuse"
    for i in $(seq -w 1 40); do
        echo "file /later/n$i.txt 100 seed=$i"
    done
    # Deleted last, so nothing takes their records or clusters.
    cat <<PLAN
delete /del/gone-small.txt
delete /del/gone.txt
delete "/del/удалён 😀.bin"
rmtree /deltree
delete /del/gone-big.bin
PLAN
}

check_geometry() {
    local img=$1 cluster=$2 sector=$3 out
    out=$(fsstat "$img")
    grep -q "^Cluster Size: $cluster\$" <<<"$out" && pass || fail "fsstat cluster size is not $cluster"
    grep -q "^Sector Size: $sector\$" <<<"$out" && pass || fail "fsstat sector size is not $sector"
}

for config in 512:512 4096:512 4096:4096 65536:512 65536:4096; do
    cluster=${config%:*}
    sector=${config#*:}
    CASE="c$cluster-s$sector"
    img="$WORK/$CASE.img" man="$WORK/$CASE.tsv" log="$WORK/$CASE.log"
    write_plan "$cluster" "$sector" >"$WORK/$CASE.plan"
    run_builder "$img" "$WORK/$CASE.plan" "$man" "$log" || continue
    check_geometry "$img" "$cluster" "$sector"
    check_manifest "$img" "$man" "$log"

    # The deleted non-resident file was deleted last: its runs must still be
    # in its record and its clusters untouched.
    rec=$(awk -F'\t' '$7 == "/del/gone-big.bin" {print $3}' "$man")
    [ "$(awk -F'\t' '$7 == "/del/gone-big.bin" {print $1}' "$man")" = deleted ] && pass || fail "gone-big.bin not deleted"
    sha=$(awk -F'\t' '$7 == "/del/gone-big.bin" {print $6}' "$man")
    [ "$(icat -r "$img" "$rec" | sha256sum | cut -c1-64)" = "$sha" ] && pass || fail "deleted gone-big.bin differs"

    # Sparse: flagged sparse, with holes in the cluster list.
    rec=$(awk -F'\t' '$7 == "/sparse.bin" {print $3}' "$man")
    grep -q 'Non-Resident, Sparse' <<<"$(istat "$img" "$rec")" && pass || fail "sparse.bin is not sparse"
    holes=$(data_clusters "$img" "$rec" | grep -c '^0$')
    [ "$holes" -gt 0 ] && pass || fail "sparse.bin has no holes"

    # Interleaved: every file in more than one run.
    for f in a b c; do
        rec=$(awk -F'\t' -v p="/frag/$f.bin" '$7 == p {print $3}' "$man")
        runs=$(data_clusters "$img" "$rec" | count_runs)
        [ "$runs" -gt 1 ] && pass || fail "/frag/$f.bin is in $runs run(s)"
    done

    # Forty files created after the deletions under /reuse: some take their
    # MFT records; the files deleted at the end keep theirs.
    grep -q $'^reused\t.*\t/reuse/' "$man" && pass || fail "no record was reused"
    [ "$(grep -c $'^deleted\t' "$man")" -ge 8 ] && pass || fail "fewer than 8 entries stayed deleted"
done

# The MFT in several extents.
CASE=fragment-mft
img="$WORK/$CASE.img" man="$WORK/$CASE.tsv" log="$WORK/$CASE.log"
printf 'format 32M\nfile /before.bin 64K\nfragment-mft 300\nfile /after.bin 64K\n' >"$WORK/$CASE.plan"
if run_builder "$img" "$WORK/$CASE.plan" "$man" "$log"; then
    runs=$(data_clusters "$img" 0 | count_runs)
    [ "$runs" -gt 1 ] && pass || fail "\$MFT is in $runs run(s)"
    check_manifest "$img" "$man" "$log" 10
fi

# A small bulk tree: counts and a sample of hashes.
CASE=bulk
img="$WORK/$CASE.img" man="$WORK/$CASE.tsv" log="$WORK/$CASE.log"
printf 'format 64M cluster=4096\nbulk 9 3000 80 4 0.4 3\n' >"$WORK/$CASE.plan"
if run_builder "$img" "$WORK/$CASE.plan" "$man" "$log"; then
    live=$(awk -F'\t' '$1 == "live" && $2 == "file"' "$man" | wc -l)
    gone=$(awk -F'\t' '$1 == "deleted" && $2 == "file"' "$man" | wc -l)
    [ $((live + gone)) -eq 3000 ] && [ "$gone" -ge 1200 ] && pass || fail "bulk: $live live, $gone deleted files"
    [ "$(awk -F'\t' '$1 == "deleted" && $2 == "dir"' "$man" | wc -l)" -ge 3 ] && pass || fail "bulk: fewer than 3 deleted dirs"
    [ "$(fls -r -p "$img" | grep -v ' \* ' | grep -c $'^r/r .*\tbulk-9/')" -eq "$live" ] && pass \
        || fail "bulk: fls does not list $live live files"
    while IFS=$'\t' read -r state kind rec parent size sha path; do
        [ "$(icat -r "$img" "$rec" | sha256sum | cut -c1-64)" = "$sha" ] && pass || fail "bulk: icat $rec ($state $path)"
    done < <(awk -F'\t' 'NR > 1 && $2 == "file" && NR % 60 == 0' "$man")
fi

# The same plan gives the same manifest: records, sizes and hashes.
CASE=repeatable
printf 'format 32M\nbulk 11 400 20 3 0.5 2\ninterleave 4K /i/a:40K /i/b:40K\nsparse /s 1M 5000:3000\n' \
    >"$WORK/$CASE.plan"
if run_builder "$WORK/$CASE-1.img" "$WORK/$CASE.plan" "$WORK/$CASE-1.tsv" "$WORK/$CASE-1.log" &&
    run_builder "$WORK/$CASE-2.img" - "$WORK/$CASE-2.tsv" "$WORK/$CASE-2.log" <"$WORK/$CASE.plan"; then
    cmp -s "$WORK/$CASE-1.tsv" "$WORK/$CASE-2.tsv" && pass || fail "two runs of one plan gave different manifests"
fi

# Bad plans: exit status 1, the plan line in the message, no manifest.
CASE=errors
bad_plan() {
    local line=$1 text=$2
    rm -f "$WORK/$CASE.tsv"
    if printf "$text" | "$MKIMAGE" "$WORK/$CASE.img" - "$WORK/$CASE.tsv" 2>"$WORK/$CASE.log"; then
        fail "accepted: $text"
    elif ! grep -q "^<stdin>:$line: error: " "$WORK/$CASE.log"; then
        fail "no '<stdin>:$line: error' for: $text ($(cat "$WORK/$CASE.log"))"
    elif [ -e "$WORK/$CASE.tsv" ]; then
        fail "a manifest was written for: $text"
    else
        pass
    fi
}
bad_plan 1 'mkdir /a\n'
bad_plan 3 '# comment\nformat 8M\nbogus /a\n'
bad_plan 3 'format 8M\nfile /a 10\nfile /a/b 10\n'
bad_plan 2 'format 8M\nfile /big 64M\n'
bad_plan 2 'format 8M\ndelete /missing\n'
bad_plan 3 'format 8M\nmkdir /d/e\ndelete /d\n'
bad_plan 2 'format 8M\nsparse /s 1M 1000K:100K\n'
bad_plan 2 'format 8M\nfile /x 1.5K\n'
bad_plan 1 'format 8M cluster=3000\n'

echo "tools images: $checks passed, $failures failed"
[ "$failures" -eq 0 ]
