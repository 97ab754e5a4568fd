#!/usr/bin/env bash
# Installs what the benchmarks need beyond the build: the peers (ocrmypdf, qpdf,
# tesseract) and what the shared corpus generator uses. Idempotent; run as root.
set -euo pipefail
packages=(ocrmypdf qpdf tesseract-ocr tesseract-ocr-eng tesseract-ocr-chi-sim tesseract-ocr-chi-tra
    python3-reportlab python3-pil python3-img2pdf python3-pikepdf fonts-wqy-zenhei fonts-noto-cjk
    fonts-dejavu-core poppler-data poppler-utils time bc)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
