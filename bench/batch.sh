#!/usr/bin/env bash
# Batch throughput: many small files against the same pages as one document.
#   - ten one-page Simplified Chinese scans (the corpus's plain and skewed
#     scans, split) as one command-line batch, one file at a time (--jobs 1,
#     as the window ran them before) and with the scheduler's default, against
#     the same ten pages as one document; the aim is at most 1.15 times the
#     document's time per page;
#   - the ten-page document with one and with two cores (taskset), to show the
#     recognition lanes following the cores;
#   - 200 one-page PDFs rotated as a batch, against qpdf run over the same
#     files in a shell loop.
# A failed file (exit status other than 0) stops the run.
#
# usage: bench/batch.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
program=${1:-$root/build}/quorvin-pdf-batch
shared=${QPB_SHARED_DIR:-$root/../shared}
corpus=${QPB_BENCH_CORPUS:-$root/build-bench/corpus}
models=${QPB_BENCH_MODELS:-/usr/share/tesseract-ocr/5/tessdata}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
die() { echo "bench/batch.sh: $*" >&2; exit 1; }
[ -x "$program" ] || die "no program at $program; build first"
[ -f "$corpus/scanned/scan-chi_sim.pdf" ] || bash "$shared/bench/make-corpus.sh" "$corpus" >/dev/null

seconds() { # command...: wall seconds; the command must succeed
    local start end
    start=$(date +%s%N)
    "$@" >"$work/stdout" 2>"$work/stderr" || die "$* failed: $(tail -3 "$work/stdout" "$work/stderr")"
    end=$(date +%s%N)
    echo "scale=2; ($end - $start) / 1000000000" | bc
}

mkdir -p "$work/scans"
for source in scan-chi_sim scan-chi_sim-skew2; do
    qpdf --split-pages=1 "$corpus/scanned/$source.pdf" "$work/scans/$source-%d.pdf"
done
[ "$(ls "$work/scans" | wc -l)" -eq 10 ] || die "expected ten one-page scans"
qpdf --empty --pages "$work"/scans/*.pdf -- "$work/ten-pages.pdf"

ocr() { # out-dir [options] files...
    local out=$1
    shift
    rm -rf "$out"
    "$program" batch ocr --language chi_sim+eng --models "$models" --output "$out" "$@"
}

document=$(seconds ocr "$work/o-doc" "$work/ten-pages.pdf")
one_at_a_time=$(seconds ocr "$work/o-seq" --jobs 1 "$work"/scans/*.pdf)
scheduled=$(seconds ocr "$work/o-batch" "$work"/scans/*.pdf)
per_page() { echo "scale=2; $1 / 10" | bc; }
printf 'OCR, 10 pages as one document            %6.2f s  %5.2f s/page\n' "$document" "$(per_page "$document")"
printf 'OCR, 10 one-page files, one at a time     %6.2f s  %5.2f s/page  (before)\n' \
    "$one_at_a_time" "$(per_page "$one_at_a_time")"
printf 'OCR, 10 one-page files, scheduled         %6.2f s  %5.2f s/page\n' "$scheduled" "$(per_page "$scheduled")"
ratio=$(echo "scale=2; $scheduled / $document" | bc)
printf '  batch / document: %s  (aim <= 1.15: %s)\n' "$ratio" \
    "$(echo "$ratio <= 1.15" | bc | sed 's/1/met/;s/0/not met/')"

if command -v taskset >/dev/null; then
    for cores in 0 0,1; do
        t=$(seconds taskset -c "$cores" "$program" batch ocr --language chi_sim+eng --models "$models" \
            --output "$work/o-cores-$cores" "$work/ten-pages.pdf")
        printf 'OCR, 10-page document on cores %-4s      %6.2f s  %5.2f s/page\n' "$cores" "$t" "$(per_page "$t")"
    done
fi

mkdir -p "$work/small" "$work/q"
qpdf --split-pages=1 --pages "$corpus/text/text-1000.pdf" 1-200 -- "$corpus/text/text-1000.pdf" \
    "$work/small/page-%d.pdf"
[ "$(ls "$work/small" | wc -l)" -eq 200 ] || die "expected 200 one-page PDFs"
batch=$(seconds "$program" batch rotate --output "$work/r" "$work/small")
loop() {
    for f in "$work"/small/*.pdf; do
        qpdf --rotate=+90 "$f" "$work/q/$(basename "$f")"
    done
}
qpdf_loop=$(seconds loop)
printf 'rotate 200 one-page PDFs: batch %6.2f s   qpdf loop %6.2f s   ratio %s\n' "$batch" "$qpdf_loop" \
    "$(echo "scale=2; $batch / $qpdf_loop" | bc)"
