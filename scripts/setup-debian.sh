#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Idempotent: apt-get skips what is already there. Run as root on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git clang-format clang-14 libclang-rt-14-dev
    qt6-base-dev qt6-base-dev-tools libqt6svg6 libqt6svg6-dev qt6-svg-dev qt6-translations-l10n
    libgl-dev libxkbcommon-dev
    libqpdf-dev zlib1g-dev qpdf libdeflate-dev libjpeg62-turbo-dev libtiff-dev libfreetype-dev
    libpoppler-qt6-dev poppler-utils
    libtesseract-dev libleptonica-dev libpng-dev tesseract-ocr
    tesseract-ocr-eng tesseract-ocr-chi-sim tesseract-ocr-chi-tra tesseract-ocr-osd
    libarchive-dev libjbig2dec0-dev
    fonts-noto-cjk fonts-dejavu-core
    openssl ca-certificates
    xvfb xauth unzip
    libreoffice-writer-nogui
    python3 time bc parallel bindfs fuse3 jbig2dec mupdf-tools
    appstream desktop-file-utils dpkg-dev
)

# The Windows build and its tests under Wine (scripts/windows-build.sh,
# scripts/windows-test.sh) ask for these as well: setup-debian.sh windows
if [[ ${1:-} == windows ]]; then
    packages+=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 nsis zip locales xvfb xauth
        x11-utils imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# pdf.js reads the tests' JBIG2 images too, under node, where the npm registry
# can be reached; the tests pass it over when it is not there.
if ! command -v node > /dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nodejs npm ||
        true
fi
pdfjs=$(cd "$(dirname "$0")/../tests/pdfjs" && pwd)
if command -v npm > /dev/null && [[ ! -d $pdfjs/node_modules/pdfjs-dist ]]; then
    (cd "$pdfjs" && timeout 300 npm install --no-audit --no-fund --silent) ||
        echo "setup-debian.sh: pdf.js could not be installed; the tests go on without it" >&2
fi

# Wine takes its ANSI code page from the locale: Chinese Windows is code page 936.
if [[ ${1:-} == windows ]] && ! locale -a | grep -qix 'zh_CN.utf8'; then
    localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
