#!/usr/bin/env bash
# The page tools beside the peers: seconds and peak memory (KB) of each, on
# the shared corpus. Images to PDF beside img2pdf, PDF to images beside
# pdftoppm, then splits (bookmarks, size, blank pages) and stamps, alone.
# The blank-page split also prints which sheets it took for separators on
# generated scans (bench/blank_sheets.py): pages 2, 4, 6 and 8 should be,
# pages 10 and 12 (one short line, a signature line) should not.
#
# usage: bench/pagetools.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
program=$build/quorvin-pdf-batch
shared=${QPB_SHARED_DIR:-$root/../shared}
corpus=${QPB_BENCH_CORPUS:-$root/build-bench/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$program" ] || { echo "bench/pagetools.sh: build first" >&2; exit 1; }
[ -f "$corpus/text/text-100.pdf" ] || bash "$shared/bench/make-corpus.sh" "$corpus" >/dev/null
export QT_QPA_PLATFORM=offscreen

# "label  seconds  peak-KB" of one command, its output discarded.
measure() {
    local label=$1
    shift
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1 || { echo "$label: failed" >&2; exit 1; }
    printf '%-44s %8s s %10s KB\n' "$label" $(cat "$work/time")
}
ours=("$program" batch)

echo "== images to PDF (15 JPEG pages of 300 DPI) =="
mkdir -p "$work/jpg" "$work/out"
for scan in "$corpus"/scanned/scan-*.pdf; do
    case $scan in *skew*) continue ;; esac
    pdftoppm -r 300 -jpeg -jpegopt quality=85 "$scan" "$work/jpg/$(basename "$scan" .pdf)"
done
measure "ours images2pdf --one-file" "${ours[@]}" images2pdf --jobs 1 --one-file ours --output "$work/out" "$work"/jpg/*.jpg
measure "img2pdf" /usr/bin/python3 -m img2pdf "$work"/jpg/*.jpg -o "$work/out/img2pdf.pdf"
printf '%-44s %10s bytes vs %s\n' "result" "$(stat -c %s "$work/out/ours.pdf")" \
    "$(stat -c %s "$work/out/img2pdf.pdf")"

echo "== PDF to images (text-100, 150 DPI PNG; one A3 page at 600 DPI) =="
measure "ours pdf2images png 150" "${ours[@]}" pdf2images --jobs 1 --dpi 150 --output "$work/out" "$corpus/text/text-100.pdf"
measure "pdftoppm -png 150" pdftoppm -r 150 -png "$corpus/text/text-100.pdf" "$work/out/ppm"
/usr/bin/python3 - "$work/a3.pdf" <<'PY'
import sys
from reportlab.lib.pagesizes import A3
from reportlab.pdfgen import canvas
c = canvas.Canvas(sys.argv[1], pagesize=A3)
c.setFont("Helvetica", 40)
for row in range(40):
    c.drawString(60, 1100 - row * 27, "A3 at 600 DPI, row %d" % row)
c.save()
PY
measure "ours pdf2images png 600, A3" "${ours[@]}" pdf2images --jobs 1 --dpi 600 --output "$work/out" "$work/a3.pdf"
measure "pdftoppm -png 600, A3" pdftoppm -r 600 -png "$work/a3.pdf" "$work/out/a3"
measure "ours pdf2images tif 600, A3" "${ours[@]}" pdf2images --jobs 1 --format tif --dpi 600 --output "$work/out" "$work/a3.pdf"

echo "== splits and stamps (text-100) =="
measure "split by bookmarks" "${ours[@]}" split --jobs 1 --mode bookmarks --output "$work/out" "$corpus/text/text-100.pdf"
measure "split by size, 1MB (text-1000)" "${ours[@]}" split --jobs 1 --mode size --max-size 1MB --output "$work/out" "$corpus/text/text-1000.pdf"
measure "stamp numbers, Bates, watermark" "${ours[@]}" stamp --jobs 1 --numbers "第 {n} 页 共 {total} 页" \
    --bates ABC- --watermark 内部资料 --output "$work/out" "$corpus/text/text-100.pdf"

echo "== blank separator sheets =="
/usr/bin/python3 "$here/blank_sheets.py" "$work/sheets.pdf"
measure "split at blank pages (12 scans)" "${ours[@]}" split --jobs 1 --mode blank --output "$work/out" "$work/sheets.pdf"
parts=$(ls "$work"/out/sheets-拆分/*.pdf | wc -l)
echo "parts: $parts (expected 5: content pages 1, 3, 5, 7 alone, then 9-12 together)"
for part in "$work"/out/sheets-拆分/*.pdf; do
    printf '  %s: %s pages\n' "$(basename "$part")" "$(pdfinfo "$part" | sed -n 's/^Pages: *//p')"
done
