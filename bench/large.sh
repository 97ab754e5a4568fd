#!/usr/bin/env bash
# Large-work benchmark: time and peak memory of the worker on a 200-source merge,
# a 100000-page document admitted and rotated, and a 512 MiB source admitted
# (optimised, which reads every byte). Prints one line per case. A job that
# fails, or reports success without its output, stops the run.
#
# usage: bench/large.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
worker=${1:-$here/../build}/quorvin-pdf-batch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
die() { echo "bench/large.sh: $*" >&2; exit 1; }
[ -x "$worker" ] || die "no worker at $worker; build first"
/usr/bin/python3 "$here/gen_large.py" "$work/in"
mkdir -p "$work/out"

run() {
    local label=$1 request=$2
    local stats="$work/time.txt"
    local result output
    result=$(echo "$request" | /usr/bin/time -f '%e %M' -o "$stats" "$worker" --worker) ||
        die "$label failed: $result"
    case $result in *'"ok":true'*) ;; *) die "$label failed: $result" ;; esac
    output=$(echo "$result" | sed -n 's/.*"output":"\([^"]*\)".*/\1/p')
    [ -n "$output" ] && [ -e "$output" ] || die "$label reported success without its output"
    read -r seconds kib < "$stats"
    printf '%-38s %7.2f s  %8.1f MiB peak  %s\n' "$label" "$seconds" "$(echo "$kib/1024" | bc -l)" \
        "$(basename "$output")"
}

inputs=$(ls "$work"/in/merge/*.pdf | sed 's/.*/"&"/' | paste -sd, -)
run "merge of 200 sources (600 pages)" \
    "{\"operation\":\"merge\",\"inputs\":[$inputs],\"output\":\"$work/out\"}"
run "rotate 100000 pages" \
    "{\"operation\":\"rotate\",\"inputs\":[\"$work/in/pages-100000.pdf\"],\"output\":\"$work/out\"}"
run "optimize a 512 MiB source" \
    "{\"operation\":\"optimize\",\"inputs\":[\"$work/in/size-512MiB.pdf\"],\"output\":\"$work/out\"}"
run "encrypt a 512 MiB source" \
    "{\"operation\":\"encrypt\",\"inputs\":[\"$work/in/size-512MiB.pdf\"],\"output\":\"$work/out\",\"newPassword\":\"pw\"}"
