#!/usr/bin/env bash
# usage: packaging.sh install|deb BUILD_DIR SOURCE_DIR
#   install: cmake --install into a scratch prefix and check the layout and metadata
#   deb:     build the .deb with CPack, install it with dpkg, run the installed worker
#            on a generated PDF, check the result, remove the package again
set -euo pipefail
mode=$1 build=$2 source=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

make_pdf() {
    /usr/bin/python3 - "$1" <<'PY'
import sys
bodies = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
          b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"]
out = bytearray(b"%PDF-1.7\n"); offsets = []
for i, body in enumerate(bodies):
    offsets.append(len(out)); out += b"%d 0 obj\n" % (i + 1) + body + b"\nendobj\n"
x = len(out)
out += b"xref\n0 4\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
out += b"trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % x
open(sys.argv[1], "wb").write(out)
PY
}

check_rotate() {
    local program=$1
    make_pdf "$scratch/in.pdf"
    mkdir -p "$scratch/out"
    local result
    result=$(echo "{\"operation\":\"rotate\",\"inputs\":[\"$scratch/in.pdf\"],\"output\":\"$scratch/out\"}" \
        | "$program" --worker)
    echo "$result"
    [[ $result == *'"ok":true'* ]]
    qpdf --check "$scratch/out/in-旋转.pdf" >/dev/null
    qpdf --json "$scratch/out/in-旋转.pdf" > "$scratch/out.json"
    grep -q '"/Rotate": 90' "$scratch/out.json"
}

# The command-line batch runs the installed program as its workers.
check_batch() {
    local program=$1
    make_pdf "$scratch/batch-in.pdf"
    "$program" batch rotate --degrees 180 --output "$scratch/batch-out" "$scratch/batch-in.pdf"
    qpdf --json "$scratch/batch-out/batch-in-旋转.pdf" > "$scratch/batch.json"
    grep -q '"/Rotate": 180' "$scratch/batch.json"
}

# The window and recognition come from the module in the private library folder.
check_module() {
    local program=$1
    [[ $(QT_QPA_PLATFORM=offscreen "$program" --version) == "QuorvinPDFBatch.cn 0.1.0" ]]
}

case $mode in
install)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    p=$scratch/prefix
    test -x "$p/bin/quorvin-pdf-batch"
    desktop-file-validate "$p/share/applications/cn.quorvin.PdfBatch.desktop"
    appstreamcli validate --no-net "$p/share/metainfo/cn.quorvin.PdfBatch.metainfo.xml"
    test -s "$p/share/icons/hicolor/scalable/apps/cn.quorvin.PdfBatch.svg"
    for f in LICENSE THIRD-PARTY.md Apache-2.0.txt GPL-2.txt LGPL-3.txt libarchive-BSD.txt; do
        test -s "$p/share/licenses/quorvin-pdf-batch/$f"
    done
    test -f "$p/lib/quorvin-pdf-batch/libquorvin-pdf-batch.so"
    check_rotate "$p/bin/quorvin-pdf-batch"
    check_module "$p/bin/quorvin-pdf-batch"
    ;;
deb)
    (cd "$build" && cpack -G DEB >/dev/null)
    deb=$(ls "$build"/quorvin-pdf-batch_*.deb | head -1)
    dpkg-deb -f "$deb" Depends Recommends > "$scratch/control"
    grep -q libqpdf "$scratch/control"
    grep -q libdeflate0 "$scratch/control"
    grep -q libjpeg62-turbo "$scratch/control"
    grep -q libtiff6 "$scratch/control"
    grep -q tesseract-ocr-chi-sim "$scratch/control"
    dpkg -i "$deb" >/dev/null
    trap 'dpkg -r quorvin-pdf-batch >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
    check_rotate /usr/bin/quorvin-pdf-batch
    check_batch /usr/bin/quorvin-pdf-batch
    check_module /usr/bin/quorvin-pdf-batch
    dpkg -r quorvin-pdf-batch >/dev/null
    # `! cmd` never stops a script under set -e: each check fails on its own.
    for removed in /usr/bin/quorvin-pdf-batch /usr/lib/quorvin-pdf-batch; do
        if test -e "$removed"; then
            echo "packaging deb: $removed is still there after dpkg -r" >&2
            exit 1
        fi
    done
    ;;
esac
echo "packaging $mode: ok"
