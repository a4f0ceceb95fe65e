#!/usr/bin/env bash
# Makes small files of every format the carver knows, each with the tool
# that writes it in real life, into OUTDIR (created; left as it is when it
# holds a "done" stamp). A format whose tool is missing is left out and named
# in OUTDIR/missing.
#
#   tests/images/carve-media.sh OUTDIR
set -uo pipefail
out=$1
mkdir -p "$(dirname "$out")" || exit 1
# Tests run side by side: one makes the media while the others wait.
exec 9>"$out.lock"
flock 9
[ -f "$out/done" ] && exit 0
rm -rf "$out" && mkdir -p "$out" || exit 1
cd "$out" || exit 1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
: >missing
have() { command -v "$1" >/dev/null 2>&1 || { echo "$1" >>missing; return 1; }; }
quiet() { "$@" >/dev/null 2>&1 || echo "failed: $*" >>missing; }

if have convert; then
    quiet convert -size 240x180 -seed 1 plasma:fractal -quality 90 photo.jpg
    quiet convert -size 200x150 -seed 2 plasma:fractal -interlace Plane -quality 80 progressive.jpg
    quiet convert -size 120x90 -seed 3 plasma:fractal picture.png
    quiet convert -size 64x48 -seed 4 plasma:fractal -colors 32 still.gif
    quiet convert -delay 10 -size 48x32 -seed 5 plasma:fractal -seed 6 plasma:fractal -colors 16 animated.gif
    quiet convert -size 70x50 -seed 7 plasma:fractal BMP3:old.bmp
    quiet convert -size 60x40 -seed 8 plasma:fractal picture.bmp
    quiet convert -size 90x60 -seed 9 plasma:fractal -compress lzw little.tif
    quiet convert -size 90x60 -seed 10 plasma:fractal -endian MSB -compress zip big.tif
    quiet convert -size 80x60 -seed 11 plasma:fractal TIFF64:bigtiff.tif
    quiet convert -size 100x80 -seed 12 plasma:fractal -quality 75 picture.webp
    quiet convert -size 96x64 -seed 13 plasma:fractal picture.heic
fi
if have gs; then
    cat >"$work/page.ps" <<'PS'
/Helvetica findfont 14 scalefont setfont
72 720 moveto (A page written by Ghostscript for the carving tests.) show
0 1 40 { dup 12 mul 72 add 600 moveto (Line ) show 3 string cvs show } for
showpage
/Helvetica findfont 20 scalefont setfont 72 700 moveto (Second page) show showpage
PS
    quiet gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=document.pdf "$work/page.ps"
    quiet gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -dFastWebView=true -sOutputFile=linearized.pdf "$work/page.ps"
fi
if have ffmpeg; then
    video="-f lavfi -i testsrc=duration=1:size=96x64:rate=10"
    audio="-f lavfi -i sine=frequency=440:duration=1:sample_rate=22050"
    ff() { quiet ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
    # shellcheck disable=SC2086
    {
        ff $video $audio -c:v mpeg4 -c:a aac -b:a 32k -shortest movie.mp4
        ff $video -c:v mpeg4 movie.mov
        ff $audio -c:a aac -b:a 32k sound.m4a
        ff $video $audio -c:v mpeg4 -c:a pcm_s16le -shortest movie.avi
        ff $audio -c:a pcm_s16le sound.wav
        ff $video $audio -c:v mpeg4 -c:a flac -shortest movie.mkv
        ff $video -c:v libvpx -b:v 100k -deadline realtime movie.webm
        ff $audio -c:a libmp3lame -b:a 32k -metadata title=Carving sound.mp3
        ff $audio -c:a libmp3lame -b:a 32k -write_xing 0 -id3v2_version 0 bare.mp3
        ff $audio -c:a flac sound.flac
        ff $audio -c:a libvorbis -q:a 0 sound.ogg
        ff $audio -c:a libopus -b:a 24k sound.opus
    }
fi
if have python3; then
    python3 - <<'PY' || echo "failed: python3 zipfile" >>missing
import io, zipfile
def write(name, entries, stored_first=None):
    with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED) as z:
        if stored_first:
            z.writestr(zipfile.ZipInfo(stored_first[0]), stored_first[1], compress_type=zipfile.ZIP_STORED)
        for n, data in entries:
            z.writestr(n, data)
body = "".join("<w:p><w:r><w:t>Paragraph %d of a document.</w:t></w:r></w:p>" % i for i in range(200))
write("document.docx", [("[Content_Types].xml", "<Types/>"), ("_rels/.rels", "<Relationships/>"),
                        ("word/document.xml", "<w:document><w:body>%s</w:body></w:document>" % body)])
write("sheet.xlsx", [("[Content_Types].xml", "<Types/>"), ("xl/workbook.xml", "<workbook/>"),
                     ("xl/worksheets/sheet1.xml", "<sheetData>%s</sheetData>" % ("<row/>" * 500))])
write("slides.pptx", [("[Content_Types].xml", "<Types/>"), ("ppt/presentation.xml", "<p:presentation/>")])
write("text.odt", [("content.xml", "<office:document-content>%s</office:document-content>" % body),
                   ("META-INF/manifest.xml", "<manifest/>")],
      ("mimetype", b"application/vnd.oasis.opendocument.text"))
write("book.epub", [("META-INF/container.xml", "<container/>"), ("OEBPS/chapter.xhtml", body)],
      ("mimetype", b"application/epub+zip"))
write("program.jar", [("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n"), ("a/B.class", bytes(range(256)) * 8)])
# Pictures kept as they are inside an archive.
with zipfile.ZipFile("stored.zip", "w", zipfile.ZIP_STORED) as z:
    for n in ("photo.jpg", "picture.png"):
        try: z.write(n)
        except OSError: pass
# Written to a stream that can't seek back: sizes in data descriptors.
class Stream(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open("streamed.zip", "wb") as f:
    with zipfile.ZipFile(Stream(f), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("notes.txt", body)
        z.writestr("more.txt", body[::-1])
PY
fi
if have python3; then
    # No free tool writes RAR: the smallest archives of each version, one
    # stored file, put together here from the format's published layout.
    python3 - <<'PY' || echo "failed: python3 rar" >>missing
import struct, zlib
data = b"".join(b"stored line %d\n" % i for i in range(300))
crc = zlib.crc32(data)
def vint(v):
    out = bytearray()
    while True:
        b = v & 0x7F; v >>= 7
        out.append(b | (0x80 if v else 0))
        if not v: return bytes(out)
def block5(body, extra=b""):
    head = vint(len(body)) + body
    return struct.pack("<I", zlib.crc32(head)) + head + extra
name = b"notes.txt"
rar5 = b"Rar!\x1a\x07\x01\x00"
rar5 += block5(vint(1) + vint(0) + vint(0))                                   # main archive header
rar5 += block5(vint(2) + vint(2) + vint(len(data)) + vint(4) + vint(len(data)) + vint(0o644)
               + struct.pack("<I", crc) + vint(0) + vint(1) + vint(len(name)) + name, data)
rar5 += block5(vint(5) + vint(0) + vint(0))                                   # end of archive
open("archive5.rar", "wb").write(rar5)
def block4(kind, flags, rest, extra=b""):
    head = struct.pack("<BHH", kind, flags, 7 + len(rest)) + rest
    return struct.pack("<H", zlib.crc32(head) & 0xFFFF) + head + extra
rar4 = b"Rar!\x1a\x07\x00"
rar4 += block4(0x73, 0, struct.pack("<HI", 0, 0))
rar4 += block4(0x74, 0x8000, struct.pack("<IIBIIBBHI", len(data), len(data), 3, crc, 0, 20, 0x30, len(name), 0o644) + name, data)
rar4 += block4(0x7B, 0x4000, b"")
open("archive4.rar", "wb").write(rar4)
PY
fi
if have zip; then
    seq 1 3000 >"$work/numbers.txt"
    (cd "$work" && quiet zip -q -9 "$out/archive.zip" numbers.txt)
fi
if have sqlite3; then
    quiet sqlite3 database.sqlite "create table t(id integer primary key, name text);
        with recursive n(i) as (select 1 union all select i + 1 from n where i < 400)
        insert into t(name) select 'row ' || i || ' of the carving test' from n;"
fi
if have 7z; then
    seq 1 5000 >"$work/count.txt"
    quiet 7z a -bd "$out/archive.7z" "$work/count.txt"
fi
if have gzip; then
    seq 1 4000 | gzip -9 -n >numbers.gz
    { seq 1 100 | gzip -n; seq 100 200 | gzip -n; } >members.gz
fi
# Sizes of 0 mean the tool failed.
for f in *; do
    [ "$f" = missing ] && continue
    [ -s "$f" ] || { echo "empty: $f" >>missing; rm -f "$f"; }
done
touch done
