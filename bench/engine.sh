#!/usr/bin/env bash
# Structural operations: the worker against the qpdf command line on the same
# inputs from the shared corpus. Prints the best of five wall-clock times of
# each and their ratio.
#
# usage: bench/engine.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
worker=${1:-$root/build}/quorvin-pdf-batch
shared=${QPB_SHARED_DIR:-$root/../shared}
corpus=${QPB_BENCH_CORPUS:-$root/build-bench/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -f "$corpus/text/text-1000.pdf" ] || bash "$shared/bench/make-corpus.sh" "$corpus" >/dev/null

best() { # command... ; prints the best wall time of five runs, in seconds
    local best=999999 start end t
    for _ in 1 2 3 4 5; do
        rm -rf "$work/out" && mkdir -p "$work/out"
        start=$(date +%s%N)
        "$@" <"${stdin:-/dev/null}" >/dev/null 2>&1 || true
        end=$(date +%s%N)
        t=$(echo "scale=4; ($end - $start) / 1000000000" | bc)
        best=$(echo "if ($t < $best) $t else $best" | bc)
    done
    echo "$best"
}

worker_job() { # request-json
    echo "$1" > "$work/request.json"
    stdin=$work/request.json best "$worker" --worker
}

compare() { # label worker-seconds qpdf-seconds
    local ratio
    ratio=$(echo "scale=2; $2/$3" | bc)
    printf '%-34s worker %7.3f s   qpdf %7.3f s   ratio %5.2f  (aim <= 1.0: %s)\n' "$1" "$2" "$3" \
        "$ratio" "$(echo "$ratio <= 1.0" | bc | sed 's/1/met/;s/0/not met/')"
}

text=$corpus/text/text-1000.pdf
parts=$(ls "$corpus"/merge/part-*.pdf)
inputs=$(echo "$parts" | sed 's/.*/"&"/' | paste -sd, -)
o=$work/out

compare "merge 20 parts" \
    "$(worker_job "{\"operation\":\"merge\",\"inputs\":[$inputs],\"output\":\"$o\"}")" \
    "$(best qpdf --empty --pages $parts -- "$o/merged.pdf")"
compare "split text-1000 by 10" \
    "$(worker_job "{\"operation\":\"split\",\"inputs\":[\"$text\"],\"output\":\"$o\",\"group\":10}")" \
    "$(best qpdf --split-pages=10 "$text" "$o/part-%d.pdf")"
compare "extract 1-500 of text-1000" \
    "$(worker_job "{\"operation\":\"extract\",\"inputs\":[\"$text\"],\"output\":\"$o\",\"pages\":\"1-500\"}")" \
    "$(best qpdf "$text" --pages . 1-500 -- "$o/extract.pdf")"
compare "rotate text-1000" \
    "$(worker_job "{\"operation\":\"rotate\",\"inputs\":[\"$text\"],\"output\":\"$o\"}")" \
    "$(best qpdf --rotate=+90 "$text" "$o/rotated.pdf")"
compare "optimize text-1000" \
    "$(worker_job "{\"operation\":\"optimize\",\"inputs\":[\"$text\"],\"output\":\"$o\"}")" \
    "$(best qpdf --object-streams=generate --recompress-flate --compression-level=9 "$text" "$o/opt.pdf")"
compare "encrypt text-1000" \
    "$(worker_job "{\"operation\":\"encrypt\",\"inputs\":[\"$text\"],\"output\":\"$o\",\"newPassword\":\"pw\"}")" \
    "$(best qpdf --encrypt pw pw 256 -- "$text" "$o/enc.pdf")"
# The corpus encrypts only a small file, whose time is mostly process start;
# the large one shows the work itself.
large=$work/text-1000-aes256.pdf
qpdf --encrypt user owner 256 -- "$text" "$large"
compare "decrypt text-1000 (AES-256 here)" \
    "$(worker_job "{\"operation\":\"decrypt\",\"inputs\":[\"$large\"],\"output\":\"$o\",\"password\":\"owner\"}")" \
    "$(best qpdf --password=owner --decrypt "$large" "$o/dec.pdf")"
enc=$corpus/encrypted/text-100-aes256.pdf
compare "decrypt text-100-aes256" \
    "$(worker_job "{\"operation\":\"decrypt\",\"inputs\":[\"$enc\"],\"output\":\"$o\",\"password\":\"owner\"}")" \
    "$(best qpdf --password=owner --decrypt "$enc" "$o/dec.pdf")"
