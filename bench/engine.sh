#!/usr/bin/env bash
# Structural operations and lossless optimisation: the worker against the qpdf
# command line on the same inputs from the shared corpus. Prints the best of
# five wall-clock times of each and their ratio, and for optimisation the
# bytes as well. A job that fails, or reports success without its
# output, stops the run: a time is only printed for work that was done.
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
die() { echo "bench/engine.sh: $*" >&2; exit 1; }
[ -x "$worker" ] || die "no worker at $worker; build first"
[ -f "$corpus/text/text-1000.pdf" ] || bash "$shared/bench/make-corpus.sh" "$corpus" >/dev/null

best() { # check command... ; the best wall time of five runs, in seconds
    local check=$1 best=999999 start end t status
    shift
    for _ in 1 2 3 4 5; do
        rm -rf "$work/out" && mkdir -p "$work/out"
        start=$(date +%s%N)
        status=0
        "$@" <"${stdin:-/dev/null}" >"$work/stdout" 2>"$work/stderr" || status=$?
        end=$(date +%s%N)
        "$check" "$status" || die "$* failed: $(head -c 400 "$work/stdout" "$work/stderr")"
        t=$(echo "scale=4; ($end - $start) / 1000000000" | bc)
        best=$(echo "if ($t < $best) $t else $best" | bc)
    done
    echo "$best"
}

worker_ok() { # exit-status: the result says ok and names an output that exists
    local output
    [ "$1" -eq 0 ] && grep -q '"ok":true' "$work/stdout" || return 1
    output=$(sed -n 's/.*"output":"\([^"]*\)".*/\1/p' "$work/stdout")
    [ -n "$output" ] && [ -e "$output" ]
}

qpdf_ok() { # exit-status: success or warnings only, and something written
    { [ "$1" -eq 0 ] || [ "$1" -eq 3 ]; } && [ -n "$(ls -A "$work/out")" ]
}

worker_job() { # request-json
    echo "$1" > "$work/request.json"
    stdin=$work/request.json best worker_ok "$worker" --worker
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

w=$(worker_job "{\"operation\":\"merge\",\"inputs\":[$inputs],\"output\":\"$o\"}")
q=$(best qpdf_ok qpdf --empty --pages $parts -- "$o/merged.pdf")
compare "merge 20 parts" "$w" "$q"
w=$(worker_job "{\"operation\":\"split\",\"inputs\":[\"$text\"],\"output\":\"$o\",\"group\":10}")
q=$(best qpdf_ok qpdf --split-pages=10 "$text" "$o/part-%d.pdf")
compare "split text-1000 by 10" "$w" "$q"
w=$(worker_job "{\"operation\":\"extract\",\"inputs\":[\"$text\"],\"output\":\"$o\",\"pages\":\"1-500\"}")
q=$(best qpdf_ok qpdf "$text" --pages . 1-500 -- "$o/extract.pdf")
compare "extract 1-500 of text-1000" "$w" "$q"
w=$(worker_job "{\"operation\":\"rotate\",\"inputs\":[\"$text\"],\"output\":\"$o\"}")
q=$(best qpdf_ok qpdf --rotate=+90 "$text" "$o/rotated.pdf")
compare "rotate text-1000" "$w" "$q"
w=$(worker_job "{\"operation\":\"encrypt\",\"inputs\":[\"$text\"],\"output\":\"$o\",\"newPassword\":\"pw\"}")
q=$(best qpdf_ok qpdf --encrypt pw pw 256 -- "$text" "$o/enc.pdf")
compare "encrypt text-1000" "$w" "$q"
# The corpus encrypts only a small file, whose time is mostly process start;
# the large one shows the work itself.
large=$work/text-1000-aes256.pdf
qpdf --encrypt user owner 256 -- "$text" "$large"
w=$(worker_job "{\"operation\":\"decrypt\",\"inputs\":[\"$large\"],\"output\":\"$o\",\"password\":\"owner\"}")
q=$(best qpdf_ok qpdf --password=owner --decrypt "$large" "$o/dec.pdf")
compare "decrypt text-1000 (AES-256 here)" "$w" "$q"
enc=$corpus/encrypted/text-100-aes256.pdf
w=$(worker_job "{\"operation\":\"decrypt\",\"inputs\":[\"$enc\"],\"output\":\"$o\",\"password\":\"owner\"}")
q=$(best qpdf_ok qpdf --password=owner --decrypt "$enc" "$o/dec.pdf")
compare "decrypt text-100-aes256" "$w" "$q"

# Lossless optimisation of every input of the corpus (and of the merged parts,
# which carry the same fonts twenty times) against qpdf's strongest lossless
# settings: bytes and the best of five times of each, then the totals.
merged=$work/merged-20.pdf
qpdf --empty --pages $parts -- "$merged"
optimize_inputs=$(ls "$corpus"/text/*.pdf "$corpus"/scanned/*.pdf "$corpus"/mixed-50.pdf \
    "$corpus"/turned-*.pdf "$corpus"/merge/part-01.pdf "$enc"; echo "$merged")
printf '\n%-28s %10s %10s %10s %6s %8s %8s %6s\n' optimize source worker qpdf bytes worker qpdf time
tb=0; tw=0; tq=0; sw=0; sq=0
for input in $optimize_inputs; do
    password=; qpassword=
    [ "$input" = "$enc" ] && password=',"password":"owner"' && qpassword=--password=owner
    w=$(worker_job "{\"operation\":\"optimize\",\"inputs\":[\"$input\"],\"output\":\"$o\"$password}")
    wb=$(stat -c %s "$(sed -n 's/.*"output":"\([^"]*\)".*/\1/p' "$work/stdout")")
    q=$(best qpdf_ok qpdf $qpassword --object-streams=generate --recompress-flate \
        --compression-level=9 "$input" "$o/opt.pdf")
    qb=$(stat -c %s "$o/opt.pdf")
    sb=$(stat -c %s "$input")
    printf '%-28s %10d %10d %10d %6.3f %8.3f %8.3f %6.2f\n' "$(basename "$input")" "$sb" "$wb" "$qb" \
        "$(echo "scale=4; $wb/$qb" | bc)" "$w" "$q" "$(echo "scale=4; $w/$q" | bc)"
    tb=$((tb + sb)); tw=$((tw + wb)); tq=$((tq + qb))
    sw=$(echo "$sw + $w" | bc); sq=$(echo "$sq + $q" | bc)
done
printf '%-28s %10d %10d %10d %6.3f %8.3f %8.3f %6.2f\n' "all" "$tb" "$tw" "$tq" \
    "$(echo "scale=4; $tw/$tq" | bc)" "$sw" "$sq" "$(echo "scale=4; $sw/$sq" | bc)"
echo "aims: bytes <= 0.90 x qpdf's in all; time <= 2 x qpdf's on text-1000.pdf and in all"
