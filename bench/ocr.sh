#!/usr/bin/env bash
# OCR benchmark: the worker against ocrmypdf and bare tesseract on the shared
# corpus (../shared/bench), in one run. Prints seconds per page, peak memory,
# output size and character error rate per tool and input, then where the
# worker's time goes per page (a QPB_OCR_PROFILE build).
#
# usage: bench/ocr.sh [BUILD_DIR]    (bench/setup.sh installs the peers)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
shared=${QPB_SHARED_DIR:-$root/../shared}
corpus=${QPB_BENCH_CORPUS:-$root/build-bench/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -f "$corpus/scanned/scan-eng.pdf" ]; then
    bash "$shared/bench/make-corpus.sh" "$corpus" >/dev/null
fi
mixed=$corpus/mixed-50.pdf
if [ ! -f "$mixed" ]; then
    qpdf --empty --pages "$corpus/text/text-100.pdf" 1-20 "$corpus/scanned/scan-eng.pdf" \
        "$corpus/text/text-100.pdf" 21-40 "$corpus/scanned/scan-chi_sim.pdf" -- "$mixed"
fi

profile_build=$root/build-profile
cmake -S "$root" -B "$profile_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQPB_BUILD_TESTS=OFF -DQPB_OCR_PROFILE=ON >/dev/null
cmake --build "$profile_build" --target quorvin-pdf-batch >/dev/null

models=/usr/share/tesseract-ocr/5/tessdata
pages() { qpdf --show-npages "$1"; }
mib() { echo "scale=1; $1/1024" | bc; }
size_kib() { echo $(( $(stat -c %s "$1") / 1024 )); }

report() { # label input seconds kib output gt
    local label=$1 input=$2 seconds=$3 kib=$4 output=$5 gt=${6:-}
    local n cer="-"
    n=$(pages "$input")
    if [ "$label" = "quorvin-pdf-batch --worker" ] && [ -f "$output" ]; then
        echo "$current $(echo "scale=3; $seconds/$n" | bc) $(size_kib "$output") $(size_kib "$input")" \
            >> "$work/worker-results"
    fi
    if [ -n "$gt" ] && [ -f "$gt" ] && [ -f "$output" ]; then
        cer=$(/usr/bin/python3 "$shared/bench/cer.py" "$gt" "$output" 2>/dev/null |
            head -1 | sed 's/.*CER=//' || echo "?")
    fi
    printf '  %-34s %6.2f s/page  %7s MiB peak  %7s KiB out (in %s KiB)  CER %s\n' "$label" \
        "$(echo "scale=3; $seconds/$n" | bc)" "$(mib "$kib")" \
        "$( [ -f "$output" ] && size_kib "$output" || echo -)" "$(size_kib "$input")" "$cer"
}

timed() { # stats-file command...
    local stats=$1
    shift
    /usr/bin/time -f '%e %M' -o "$stats" "$@" >/dev/null 2>"$work/stderr" || true
}

worker_run() { # program input language skiptext out-dir
    local program=$1 input=$2 language=$3 skip=$4 out=$5
    mkdir -p "$out"
    echo "{\"operation\":\"ocr\",\"inputs\":[\"$input\"],\"output\":\"$out\",\"ocrLanguage\":\"$language\",\"ocrDpi\":300,\"ocrModels\":\"$models\",\"ocrSkipText\":$skip}" \
        > "$work/request.json"
    timed "$work/time" "$program" --worker < "$work/request.json"
}

bench_input() { # name input language gt
    local name=$1 input=$2 language=$3 gt=${4:-}
    local tlang=$language
    current=$name
    echo "== $name ($(pages "$input") pages, $language)"

    worker_run "$build/quorvin-pdf-batch" "$input" "$language" true "$work/w-$name"
    read -r s k < "$work/time"
    report "quorvin-pdf-batch --worker" "$input" "$s" "$k" "$(ls "$work/w-$name"/*.pdf | head -1)" "$gt"

    for jobs in 1 2; do
        timed "$work/time" ocrmypdf --jobs "$jobs" -l "$tlang" --output-type pdf --skip-text \
            --tesseract-timeout 600 "$input" "$work/o-$name-$jobs.pdf"
        read -r s k < "$work/time"
        report "ocrmypdf --jobs $jobs" "$input" "$s" "$k" "$work/o-$name-$jobs.pdf" "$gt"
    done

    if [ -z "${QPB_BENCH_NO_BARE:-}" ]; then
        rm -rf "$work/png" && mkdir -p "$work/png"
        pdftoppm -r 300 -gray -png "$input" "$work/png/p" >/dev/null 2>&1
        local start end
        start=$(date +%s.%N)
        for f in "$work"/png/*.png; do
            OMP_THREAD_LIMIT=1 tesseract "$f" "${f%.png}" -l "$tlang" pdf >/dev/null 2>&1
        done
        end=$(date +%s.%N)
        report "tesseract per page, one thread" "$input" "$(echo "$end-$start" | bc)" 0 /nonexistent
        start=$(date +%s.%N)
        ls "$work"/png/*.png | xargs -P 2 -I{} sh -c \
            'OMP_THREAD_LIMIT=1 tesseract "$1" "${1%.png}-b" -l "$2" pdf >/dev/null 2>&1' _ {} "$tlang"
        end=$(date +%s.%N)
        report "two tesseract processes" "$input" "$(echo "$end-$start" | bc)" 0 /nonexistent
    fi

    worker_run "$profile_build/quorvin-pdf-batch" "$input" "$language" true "$work/p-$name"
    echo "  profile (seconds, lanes summed): $(grep '^profile' "$work/stderr" || echo none)"
}

bench_input eng "$corpus/scanned/scan-eng.pdf" eng "$corpus/scanned/scan-eng.gt.txt"
bench_input chi_sim "$corpus/scanned/scan-chi_sim.pdf" chi_sim+eng "$corpus/scanned/scan-chi_sim.gt.txt"
bench_input chi_tra "$corpus/scanned/scan-chi_tra.pdf" chi_tra+eng "$corpus/scanned/scan-chi_tra.gt.txt"
QPB_BENCH_NO_BARE=1 bench_input mixed-50 "$mixed" chi_sim+eng

echo "== aims"
aim() { # name limit what
    local value
    value=$(awk -v n="$1" '$1 == n { print $2 }' "$work/worker-results")
    printf '  %-44s %6s s/page  %s\n' "$3 (aim <= $2)" "$value" \
        "$(echo "$value <= $2" | bc | sed 's/1/met/;s/0/not met/')"
}
aim eng 1.6 "English through the worker"
aim chi_sim 3.5 "Simplified Chinese through the worker"
aim chi_tra 3.5 "Traditional Chinese through the worker"
while read -r name spp out in; do
    case $name in eng | chi_sim | chi_tra)
        printf '  %-44s %6s x input  %s\n' "output size of $name (aim <= 2x)" \
            "$(echo "scale=2; $out/$in" | bc)" \
            "$(echo "$out <= 2*$in" | bc | sed 's/1/met/;s/0/not met/')" ;;
    esac
done < "$work/worker-results"
