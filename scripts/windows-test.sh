#!/usr/bin/env bash
# Runs the Windows tests under Wine 8 and Xvfb, on what scripts/windows-build.sh
# made in build-win/ (or $QPB_WIN_BUILD): the platform layer's own test; every
# operation through the command-line batch on documents with Chinese names,
# checked with Debian's PDF tools against the Linux program's results; exit
# codes and the report; the window, with a screenshot; a second start handing
# its files to the window; the installer, silently, into a folder with a
# Chinese name, a job run by the installed program, and the uninstaller.
# The documents come from the Linux build's qpb-samples (scripts/test.sh builds it).
set -euo pipefail
# QPB_KEEP_WINE=1 keeps the Wine prefix and the results for a look afterwards.
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QPB_WIN_BUILD:-$root/build-win}
linux=${QPB_BUILD_DIR:-$root/build}
version=$(sed -n 's/^project(QuorvinPdfBatch VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
program="$out/dist/Quorvin PDF Batch"
[[ -f $program/quorvin-pdf-batch.exe ]] || { echo "Run scripts/windows-build.sh first." >&2; exit 2; }
[[ -x $linux/tests/qpb-samples ]] || { echo "Build the Linux program and its tests first." >&2; exit 2; }

bash "$root/scripts/setup-debian.sh" windows

work=$(mktemp -d /tmp/qpb-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A Chinese Windows: code page 936.
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
wine=/usr/lib/wine/wine64
cleanup() {
    /usr/lib/wine/wineserver -k 2> /dev/null || true
    [[ -n ${xvfb:-} ]] && kill "$xvfb" 2> /dev/null || true
    if [[ -n ${QPB_KEEP_WINE:-} ]]; then echo "Kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
pass() { echo "PASS   : $*"; }
fail() {
    echo "FAIL!  : $*"
    failures=$((failures + 1))
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

"$wine" wineboot -i > /dev/null 2>&1
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v CurrentVersion /d 10.0 /f > /dev/null 2>&1
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v CurrentMajorVersionNumber /t REG_DWORD /d 10 /f > /dev/null 2>&1
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v CurrentBuild /d 19045 /f > /dev/null 2>&1
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v CurrentBuildNumber /d 19045 /f > /dev/null 2>&1
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v ProductName /d 'Windows 10 Pro' /f > /dev/null 2>&1

# A Chinese Windows has YaHei and Segoe UI; Wine draws them with Noto fonts.
for font in 'Microsoft YaHei UI' 'Microsoft YaHei' 'Segoe UI' SimSun; do
    "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d 'Noto Sans CJK SC' /f > /dev/null 2>&1
done

Xvfb :57 -screen 0 1366x768x24 -nolisten tcp > /dev/null 2>&1 &
xvfb=$!
export DISPLAY=:57

# Wine writes notes of its own on standard error; results are judged by
# exit codes and files.
win() { "$wine" "$@" 2> >(grep -v -e '^wine:' -e 'fixme' >&2); }

echo "== the platform layer"
test_copy=$work/program
cp -r "$program" "$test_copy"
cp "$out"/tests/* "$test_copy"/
check "tst_platform.exe" win "$test_copy/tst_platform.exe" -silent

echo "== every operation through the batch"
samples=$work/样本
QT_QPA_PLATFORM=offscreen "$linux/tests/qpb-samples" "$samples"
(cd "$samples" && sha256sum -- *.pdf) > "$work/sources.sum"
printf 'owner\n' > "$work/owner.txt"
printf 'new-secret\n' > "$work/new.txt"
exe="$program/quorvin-pdf-batch.com"
run_both() { # run_both NAME ARGS... : the same job on Linux and under Wine
    local name=$1
    shift
    mkdir -p "$work/linux/$name" "$work/windows/$name"
    QT_QPA_PLATFORM=offscreen "$linux/quorvin-pdf-batch" batch "$@" --output "$work/linux/$name" \
        > /dev/null 2>&1 || true
    (cd "$work" && win "$exe" batch "$@" --output "windows/$name" > "$work/$name.log" 2>&1)
}
all=("$samples/合同 一.pdf" "$samples/附件 二.pdf")
check "merge" run_both merge merge "${all[@]}"
check "split" run_both split split --group 2 "${all[@]}"
check "extract" run_both extract extract --pages 2-3 "${all[@]}"
check "rotate" run_both rotate rotate --degrees 90 "${all[@]}"
check "optimize" run_both optimize optimize "${all[@]}"
check "compress" run_both compress compress "$samples/扫描 通知.pdf"
check "encrypt" run_both encrypt encrypt --new-password-file "$work/new.txt" "${all[@]}"
check "decrypt" run_both decrypt decrypt --password-file "$work/owner.txt" "$samples/加密 报告.pdf"
check "ocr (chi_sim)" run_both ocr ocr --language chi_sim+eng "$samples/扫描 通知.pdf"
# Wine has no YaHei: stamps and rebuilt pages take Debian's Noto file, as
# Windows takes its own.
export QPB_FONT_FILE='Z:\usr\share\fonts\opentype\noto\NotoSansCJK-Regular.ttc'
check "ocr rebuilt" run_both rebuilt ocr --output-kind rebuilt --language chi_sim+eng "$samples/扫描 通知.pdf"
check "stamp" run_both stamp stamp --numbers "{n}" --bates "ABC-" --watermark 内部资料 "${all[@]}"
check "pdf2images" run_both pdf2images pdf2images --dpi 72 "${all[@]}"
pdftoppm -r 60 -jpeg -f 1 -l 1 -singlefile "$samples/扫描 通知.pdf" "$work/照片"
check "images2pdf" run_both images2pdf images2pdf "$work/照片.jpg"

# The same results: page counts, text, encryption, and for the lossless
# operations the same rendering.
facts() { # facts PDF [password] : pages, encryption, and the text
    local password=()
    [[ -n ${2:-} ]] && password=(-upw "$2")
    pdfinfo "${password[@]}" "$1" | grep -E '^(Pages|Encrypted):' | sed 's/ (.*//'
    pdftotext "${password[@]}" "$1" - | tr -d ' \n'
}
pixels() { pdftoppm -cropbox -r 40 -gray "$@" | sha256sum; }
compare_results() { # compare_results NAME lossless [password]
    local name=$1 lossless=$2 password=${3:-}
    local left right
    mapfile -t left < <(cd "$work/linux/$name" && find . -name '*.pdf' | sort)
    mapfile -t right < <(cd "$work/windows/$name" && find . -name '*.pdf' | sort)
    [[ ${#left[@]} -gt 0 && "${left[*]}" == "${right[*]}" ]] || { echo "  names differ: ${left[*]} / ${right[*]}"; return 1; }
    for file in "${left[@]}"; do
        local a=$work/linux/$name/$file b=$work/windows/$name/$file
        [[ $(facts "$a" "$password") == $(facts "$b" "$password") ]] || { echo "  $file: facts differ"; return 1; }
        qpdf --check ${password:+--password="$password"} "$b" > /dev/null || { echo "  $file: qpdf --check"; return 1; }
        if [[ $lossless == lossless ]]; then
            local p=()
            [[ -n $password ]] && p=(-upw "$password")
            [[ $(pixels "${p[@]}" "$a") == $(pixels "${p[@]}" "$b") ]] || { echo "  $file: renderings differ"; return 1; }
        fi
    done
}
for name in merge split extract rotate optimize decrypt; do
    check "$name: same results as on Linux" compare_results "$name" lossless
done
check "encrypt: same results as on Linux" compare_results encrypt lossless new-secret
check "compress: same results as on Linux" compare_results compress lossy
check "ocr: same results as on Linux" compare_results ocr lossy
check "stamp: same results as on Linux" compare_results stamp lossy
check "stamp: the Bates numbers are found" bash -c "pdftotext '$work/windows/stamp/附件 二-页码.pdf' - | grep -q 'ABC-000005'"
check "images2pdf: same results as on Linux" compare_results images2pdf lossless
check "pdf2images: the same pictures as on Linux" bash -c "diff <(cd '$work/linux/pdf2images' && find . -name '*.png' | sort) <(cd '$work/windows/pdf2images' && find . -name '*.png' | sort) && file '$work/windows/pdf2images/'*/*.png | grep -c 'PNG image data' | grep -qv '^0$'"
check "ocr rebuilt: its text is text, not outlines" bash -c "pdffonts '$work/windows/rebuilt/'*.pdf | grep -q 'CID TrueType' && pdftotext '$work/windows/rebuilt/'*.pdf - | tr -d ' ' | grep -q '预算'"
check "ocr: the Chinese text is found" bash -c "pdftotext '$work/windows/ocr/'*.pdf - | tr -d ' ' | grep -q '预算'"
check "sources unchanged" bash -c "cd '$samples' && sha256sum -c --quiet '$work/sources.sum'"

echo "== exit codes and the report"
exit_code() { # exit_code EXPECTED ARGS...
    local expected=$1 code=0
    shift
    (cd "$work" && win "$exe" batch "$@" > /dev/null 2>&1) || code=$?
    [[ $code == "$expected" ]] || { echo "  exit $code, expected $expected"; return 1; }
}
check "usage error exits 2" exit_code 2 rotate --degrees 45 --output codes "$samples/合同 一.pdf"
# A wrong password fails; a file without one is skipped, which fails nothing.
check "a failed file exits 1" exit_code 1 decrypt --password-file "$work/new.txt" --output codes --report codes.json "$samples/加密 报告.pdf" "$samples/合同 一.pdf"
check "the report is written" bash -c "grep -q '\"status\": \"skipped\"' '$work/codes.json' &&
    grep -q '\"status\": \"failed\"' '$work/codes.json'"
# On a console (a terminal here) the text arrives whole, not as bytes of UTF-8.
# The console wraps long lines and moves its cursor: both are taken out first.
console_text() {
    local shown
    shown=$(cd "$work" && script -qec "'$wine' '$exe' batch rotate --degrees 90 --output console \
        '$samples/合同 一.pdf'" /dev/null 2> /dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r\n')
    grep -q '处理完成.*合同 一-旋转\.pdf' <<< "$shown"
}
check "the console shows Chinese" console_text

echo "== a watched folder"
# A scan its writer still holds open waits, however long it stands still;
# once the writer lets go it is done, once, and stays as it was.
watched=$work/监视
watch_out=$work/监视结果
mkdir -p "$watched"
(cd "$work" && exec "$wine" "$exe" batch watch 监视 rotate --output 监视结果 --settle 1s \
    --interval 200ms > "$work/watch.log" 2>&1) &
watcher=$!
waited=0
until grep -q '正在监视' "$work/watch.log" 2> /dev/null || ((waited > 60)); do
    sleep 1
    waited=$((waited + 1))
done
scan="$samples/合同 一.pdf"
"$wine" "$test_copy/holdopen.exe" "$scan" "$watched/扫描 一.pdf" 10 2> /dev/null &
holder=$!
waited=0
until [[ $(stat -c %s "$watched/扫描 一.pdf" 2> /dev/null) == $(stat -c %s "$scan") ]] ||
    ((waited > 60)); do
    sleep 1
    waited=$((waited + 1))
done
sleep 4
check "a watch waits while the writer holds the file" \
    bash -c "[[ -s '$watched/扫描 一.pdf' ]] && ! ls '$watch_out' 2> /dev/null | grep -q 'pdf$'"
wait "$holder" || true
let_go=$(date +%s)
waited=0
until ls "$watch_out" 2> /dev/null | grep -q 'pdf$' || ((waited > 60)); do
    sleep 1
    waited=$((waited + 1))
done
sleep 2
check "a watch does the file once the writer lets go" bash -c "
    [[ \$(ls '$watch_out' | grep -c 'pdf$') == 1 ]] &&
    [[ \$(grep -c '\"status\":\"ok\"' '$watch_out/.quorvin-watch.jsonl') == 1 ]] &&
    (( \$(stat -c %Y '$watch_out/'*.pdf) >= $let_go - 1 )) &&
    cmp -s '$scan' '$watched/扫描 一.pdf'"
kill -INT "$watcher" 2> /dev/null || true
for _ in $(seq 10); do kill -0 "$watcher" 2> /dev/null || break; sleep 1; done
"$wine" taskkill /IM quorvin-pdf-batch.com /F > /dev/null 2>&1 || true

echo "== the window"
shots=$root/docs/screenshots
(cd "$work" && win "$program/quorvin-pdf-batch.exe" "$samples/合同 一.pdf" > /dev/null 2>&1 &)
window_up() { xwininfo -root -tree 2> /dev/null | grep -q 'Quorvin PDF'; }
waited=0
until window_up || ((waited > 60)); do
    sleep 1
    waited=$((waited + 1))
done
check "the window opens" window_up
sleep 3
# A second start hands its files to the window and exits.
check "a second start exits at once" timeout 60 "$wine" "$program/quorvin-pdf-batch.exe" "$samples/附件 二.pdf"
sleep 3
if command -v import > /dev/null; then
    import -window root "$work/windows-window.png" 2> /dev/null || true
else
    xwd -root -silent 2> /dev/null | convert xwd:- "$work/windows-window.png" 2> /dev/null || true
fi
[[ -s $work/windows-window.png ]] && cp "$work/windows-window.png" "$shots/windows-window.png"
"$wine" taskkill /IM quorvin-pdf-batch.exe /F > /dev/null 2>&1 || true

echo "== the installer"
setup="$out/quorvin-pdf-batch-$version-setup.exe"
target='C:\Quorvin_批量处理'
target_unix="$WINEPREFIX/drive_c/Quorvin_批量处理"
check "silent install" win "$setup" /S "/D=$target"
check "installed program runs a job" bash -c "cd '$work' && mkdir -p installed &&
    '$wine' '$target_unix/quorvin-pdf-batch.com' batch rotate --degrees 180 --output installed \
    '$samples/合同 一.pdf' > /dev/null 2>&1 && ls installed | grep -q pdf"
check "start-menu and Send To entries" bash -c "find '$WINEPREFIX/drive_c/users' -name 'Quorvin PDF 批量处理.lnk' | grep -c . | grep -qx 2"
# The uninstaller runs from a copy of itself in the temporary folder, and
# returns at once: wait, at most half a minute, for its folder to go.
uninstall() { # uninstall FOLDER
    win "$1/uninstall.exe" /S > /dev/null 2>&1 || true
    for _ in $(seq 30); do
        [[ -e $1 ]] || break
        sleep 1
    done
}
uninstall "$target_unix"
check "the uninstaller leaves nothing" bash -c "[[ ! -e '$target_unix' ]] &&
    ! find '$WINEPREFIX/drive_c/users' -name 'Quorvin PDF 批量处理.lnk' | grep -q . &&
    ! '$wine' reg query 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuorvinPdfBatch' > /dev/null 2>&1 &&
    ! '$wine' reg query 'HKCU\\Software\\Classes\\SystemFileAssociations\\.pdf\\shell\\QuorvinPdfBatch' > /dev/null 2>&1"

# For all users: the keys go under HKLM, and leave with the uninstaller.
everyone='C:\Quorvin_所有用户'
everyone_unix="$WINEPREFIX/drive_c/Quorvin_所有用户"
machine_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvinPdfBatch'
verb_key='HKLM\Software\Classes\SystemFileAssociations\.pdf\shell\QuorvinPdfBatch'
check "silent install for all users" win "$setup" /S /ALLUSERS "/D=$everyone"
check "all users' keys under HKLM" bash -c "'$wine' reg query '$machine_key' > /dev/null 2>&1 &&
    '$wine' reg query '$verb_key' > /dev/null 2>&1 && [[ -f '$everyone_unix/quorvin-pdf-batch.exe' ]]"
uninstall "$everyone_unix"
check "the all-users uninstaller leaves nothing" bash -c "[[ ! -e '$everyone_unix' ]] &&
    ! '$wine' reg query '$machine_key' > /dev/null 2>&1 &&
    ! '$wine' reg query '$verb_key' > /dev/null 2>&1"

if ((failures)); then
    echo "Windows tests: $failures failed"
    exit 1
fi
echo "Windows tests: all passed"
