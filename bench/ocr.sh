#!/usr/bin/env bash
# OCR benchmark: the worker, the worker as it was before (QPB_BENCH_BEFORE, a
# git revision, built once into build-before), ocrmypdf with and without
# --deskew, and bare tesseract, on the shared corpus (../shared/bench): straight,
# skewed and turned scans and a 50-page mixed document. Prints seconds per page,
# peak memory, output size beside the input's and the character error rate in
# the order a viewer extracts text (pdftotext), then where the worker's time
# goes per stage (a QPB_OCR_PROFILE build), then every aim as met or not met.
#
# usage: bench/ocr.sh [BUILD_DIR]    (bench/setup.sh installs the peers)
# A worker job that fails, or reports success without its output, stops the run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
shared=${QPB_SHARED_DIR:-$root/../shared}
corpus=${QPB_BENCH_CORPUS:-$root/build-bench/corpus}
before_rev=${QPB_BENCH_BEFORE:-4bc2167}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

die() { echo "bench/ocr.sh: $*" >&2; exit 1; }
[ -x "$build/quorvin-pdf-batch" ] || die "no worker at $build/quorvin-pdf-batch; build first"

if [ ! -f "$corpus/scanned/scan-eng.pdf" ]; then
    bash "$shared/bench/make-corpus.sh" "$corpus" >/dev/null
fi
scans=$corpus/scanned
mixed=$corpus/mixed-50.pdf
if [ ! -f "$mixed" ]; then
    qpdf --empty --pages "$corpus/text/text-100.pdf" 1-20 "$scans/scan-eng.pdf" \
        "$corpus/text/text-100.pdf" 21-40 "$scans/scan-chi_sim.pdf" -- "$mixed"
fi
# Turned scans: the pages are shown sideways or upside down, as a scanner fed
# the wrong way round makes them.
for turn in 90 180 270; do
    for language in eng chi_sim; do
        [ -f "$corpus/turned-$language-$turn.pdf" ] ||
            qpdf --rotate=+$turn "$scans/scan-$language.pdf" "$corpus/turned-$language-$turn.pdf"
    done
done

profile_build=$root/build-profile
cmake -S "$root" -B "$profile_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQPB_BUILD_TESTS=OFF -DQPB_OCR_PROFILE=ON >/dev/null
cmake --build "$profile_build" --target quorvin-pdf-batch >/dev/null

before_build=$root/build-before
if [ ! -x "$before_build/quorvin-pdf-batch" ]; then
    rm -rf "$root/build-before-src"
    git -C "$root" worktree add --detach "$root/build-before-src" "$before_rev" >/dev/null 2>&1 ||
        die "cannot check out $before_rev"
    cmake -S "$root/build-before-src" -B "$before_build" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPB_BUILD_TESTS=OFF >/dev/null
    cmake --build "$before_build" --target quorvin-pdf-batch >/dev/null
    git -C "$root" worktree remove --force "$root/build-before-src"
fi

models=/usr/share/tesseract-ocr/5/tessdata
pages() { qpdf --show-npages "$1"; }
mib() { echo "scale=1; $1/1024" | bc; }
size_kib() { echo $(($(stat -c %s "$1") / 1024)); }
cer_of() { # gt output
    # sed reads to the end: with head, cer.py could die of a closed pipe and,
    # under pipefail, end the whole run.
    /usr/bin/python3 "$shared/bench/cer.py" "$1" "$2" 2>/dev/null | sed -n '1{s/.*CER=//;s/%//;p}'
}

report() { # label input seconds kib output gt
    local label=$1 input=$2 seconds=$3 kib=$4 output=$5 gt=${6:-}
    local n cer="-" spp
    n=$(pages "$input")
    spp=$(echo "scale=3; $seconds/$n" | bc)
    if [ -n "$gt" ] && [ -f "$output" ]; then
        cer=$(cer_of "$gt" "$output")
    fi
    if [ -f "$output" ]; then
        echo "$current|$label|$spp|$(size_kib "$output")|$(size_kib "$input")|$cer" >> "$work/results"
    fi
    printf '  %-34s %6.2f s/page  %7s MiB peak  %7s KiB out (in %s KiB)  CER %s%%\n' "$label" \
        "$spp" "$(mib "$kib")" "$([ -f "$output" ] && size_kib "$output" || echo failed)" \
        "$(size_kib "$input")" "$cer"
}

peer() { # stats-file command...: a peer may fail; its line then says so
    local stats=$1
    shift
    echo "0 0" > "$stats"
    /usr/bin/time -f '%e %M' -o "$stats" "$@" >/dev/null 2>"$work/stderr" || true
}

worker_run() { # program input language out-dir
    local program=$1 input=$2 language=$3 out=$4 result
    rm -rf "$out" && mkdir -p "$out"
    result=$(echo "{\"operation\":\"ocr\",\"inputs\":[\"$input\"],\"output\":\"$out\",\"ocrLanguage\":\"$language\",\"ocrDpi\":300,\"ocrModels\":\"$models\"}" |
        /usr/bin/time -f '%e %M' -o "$work/time" "$program" --worker 2>"$work/stderr") ||
        die "$program failed on $input: $result"
    case $result in *'"ok":true'*) ;; *) die "$program failed on $input: $result" ;; esac
    output=$(ls "$out"/*.pdf 2>/dev/null | head -1)
    [ -n "$output" ] && [ -s "$output" ] || die "$program reported success on $input without output"
}

bench_input() { # name input language gt [peers]
    local name=$1 input=$2 language=$3 gt=${4:-} peers=${5:-yes} s k
    current=$name
    echo "== $name ($(pages "$input") pages, $language)"

    worker_run "$build/quorvin-pdf-batch" "$input" "$language" "$work/w-$name"
    read -r s k < "$work/time"
    report "worker" "$input" "$s" "$k" "$output" "$gt"
    worker_run "$before_build/quorvin-pdf-batch" "$input" "$language" "$work/b-$name"
    read -r s k < "$work/time"
    report "worker before ($before_rev)" "$input" "$s" "$k" "$output" "$gt"

    if [ "$peers" = yes ]; then
        for deskew in "" --deskew; do
            peer "$work/time" ocrmypdf --jobs 2 -l "$language" --output-type pdf --skip-text \
                $deskew --tesseract-timeout 600 "$input" "$work/o-$name.pdf"
            read -r s k < "$work/time"
            report "ocrmypdf --jobs 2 $deskew" "$input" "$s" "$k" "$work/o-$name.pdf" "$gt"
            rm -f "$work/o-$name.pdf"
        done
    fi

    worker_run "$profile_build/quorvin-pdf-batch" "$input" "$language" "$work/p-$name"
    echo "  profile (seconds, lanes summed): $(grep '^profile' "$work/stderr" || echo none)"
}

bench_input eng "$scans/scan-eng.pdf" eng "$scans/scan-eng.gt.txt"
bench_input chi_sim "$scans/scan-chi_sim.pdf" chi_sim+eng "$scans/scan-chi_sim.gt.txt"
bench_input chi_tra "$scans/scan-chi_tra.pdf" chi_tra+eng "$scans/scan-chi_tra.gt.txt"
bench_input eng-skew2 "$scans/scan-eng-skew2.pdf" eng "$scans/scan-eng-skew2.gt.txt"
bench_input chi_sim-skew2 "$scans/scan-chi_sim-skew2.pdf" chi_sim+eng \
    "$scans/scan-chi_sim-skew2.gt.txt"
for turn in 90 180 270; do
    bench_input "eng-turned$turn" "$corpus/turned-eng-$turn.pdf" eng "$scans/scan-eng.gt.txt" no
    bench_input "chi_sim-turned$turn" "$corpus/turned-chi_sim-$turn.pdf" chi_sim+eng \
        "$scans/scan-chi_sim.gt.txt" no
done
bench_input mixed-50 "$mixed" chi_sim+eng "" no

echo "== aims"
field() { # name label column
    awk -F'|' -v n="$1" -v l="$2" -v c="$3" '$1 == n && $2 == l { print $c }' "$work/results"
}
verdict() { # bc-condition
    echo "$1" | bc | sed 's/1/met/;s/0/NOT MET/'
}
aim() { # text value condition
    printf '  %-58s %8s  %s\n' "$1" "$2" "$(verdict "$3")"
}
before="worker before ($before_rev)"
for name in eng chi_sim chi_tra; do
    now=$(field "$name" worker 3)
    was=$(field "$name" "$before" 3)
    aim "$name: seconds per page no worse than before ($was)" "$now" "$now <= $was * 1.03"
    out=$(field "$name" worker 4)
    in=$(field "$name" worker 5)
    aim "$name: output size at most 1.25 x input" "$(echo "scale=2; $out/$in" | bc)x" \
        "$out <= 1.25 * $in"
done
aim "eng: CER no worse than 0.23 %" "$(field eng worker 6)" "$(field eng worker 6) <= 0.23"
aim "chi_sim: CER at most 1.8 % (1.0 beats every peer)" "$(field chi_sim worker 6)" \
    "$(field chi_sim worker 6) <= 1.8"
aim "eng-skew2: CER at most 1.0 %" "$(field eng-skew2 worker 6)" \
    "$(field eng-skew2 worker 6) <= 1.0"
aim "chi_sim-skew2: CER at most 4.0 %" "$(field chi_sim-skew2 worker 6)" \
    "$(field chi_sim-skew2 worker 6) <= 4.0"
for turn in 90 180 270; do
    for language in eng chi_sim; do
        upright=$(field "$language" worker 6)
        turned=$(field "$language-turned$turn" worker 6)
        aim "$language turned $turn: CER within 0.5 of upright ($upright)" "$turned" \
            "$turned <= $upright + 0.5"
    done
done
