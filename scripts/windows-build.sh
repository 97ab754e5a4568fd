#!/usr/bin/env bash
# Cross-builds the program for Windows x86-64 on Debian 12 into build-win/
# (or $QPB_WIN_BUILD), and makes the installer and the portable zip there.
# The libraries come from QPB_WIN_PREFIX; without it, from the prepared
# prefix in ../shared/windows/ when that is there, else the prefix is built
# from Debian's source packages by scripts/windows-prefix.sh (hours).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QPB_WIN_BUILD:-$root/build-win}
mkdir -p "$out"
out=$(cd "$out" && pwd)

bash "$root/scripts/setup-debian.sh" windows

prefix=${QPB_WIN_PREFIX:-}
prepared=$root/../shared/windows/quorvin-win64-libs.tar.xz
if [[ -z $prefix && -f $prepared ]]; then
    prefix=$out/prefix/quorvin-win64-libs
    stamp=$out/prefix/.unpacked
    sum=$(sha256sum "$prepared" | cut -d' ' -f1)
    if [[ ! -f $stamp || $(cat "$stamp") != "$sum" ]]; then
        rm -rf "$out/prefix"
        mkdir -p "$out/prefix"
        tar -C "$out/prefix" -xf "$prepared"
        echo "$sum" > "$stamp"
    fi
elif [[ -z $prefix ]]; then
    prefix=$out/prefix-built
    [[ -f $prefix/.complete ]] || bash "$root/scripts/windows-prefix.sh" "$prefix"
fi
prefix=$(cd "$prefix" && pwd)
echo "Windows libraries: $prefix"

# No SVG module is built for Windows: the build machine's Qt draws the icons.
cmake -S "$root/packaging/windows/iconrender" -B "$out/iconrender" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$out/iconrender"
mkdir -p "$out/icons"
mapfile -t icons < <(ls "$root"/resources/icons/*.svg | grep -v '/brand\.svg$')
QT_QPA_PLATFORM=offscreen "$out/iconrender/iconrender" "$out/icons" \
    "$root/resources/icons/brand.svg" "${icons[@]}"

cmake -S "$root" -B "$out/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQPB_WIN_PREFIX="$prefix" \
    -DQPB_ICON_DIR="$out/icons" -DCMAKE_BUILD_TYPE=Release -DQPB_WERROR=ON -DQPB_BUILD_TESTS=ON
cmake --build "$out/build" --parallel "$(nproc)"

version=$(sed -n 's/^project(QuorvinPdfBatch VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
bash "$root/packaging/windows/deploy.sh" "$out/build" "$prefix" "$out/dist/Quorvin PDF Batch"

# The portable zip runs from any folder, a USB stick included.
rm -f "$out/quorvin-pdf-batch-$version-win64.zip"
(cd "$out/dist" && zip -qr -X "$out/quorvin-pdf-batch-$version-win64.zip" "Quorvin PDF Batch")

# The installer's file list, and the uninstaller's, which removes exactly those.
program="$out/dist/Quorvin PDF Batch"
mkdir -p "$out/nsis"
{
    (cd "$program" && find . -type d | sort) | while read -r dir; do
        rel=${dir#./}
        [[ $dir == . ]] && echo 'SetOutPath "$INSTDIR"' || echo "SetOutPath \"\$INSTDIR\\${rel//\//\\}\""
        find "$program/$rel" -maxdepth 1 -type f | sort | sed 's/.*/File "&"/'
    done
    echo 'SetOutPath "$INSTDIR"'
} > "$out/nsis/files.nsh"
{
    (cd "$program" && find . -type f | sort) | while read -r file; do
        rel=${file#./}
        echo "Delete \"\$INSTDIR\\${rel//\//\\}\""
    done
    (cd "$program" && find . -mindepth 1 -type d | sort -r) | while read -r dir; do
        rel=${dir#./}
        echo "RMDir \"\$INSTDIR\\${rel//\//\\}\""
    done
} > "$out/nsis/unfiles.nsh"

makensis -V2 -X"!addincludedir $out/nsis" -DVERSION="$version" -DSOURCE="$out/dist/Quorvin PDF Batch" \
    -DICON="$out/icons/quorvin-pdf-batch.ico" \
    -DOUTFILE="$out/quorvin-pdf-batch-$version-setup.exe" \
    "$root/packaging/windows/installer.nsi"
# The platform layer's own test, with the one DLL it needs beyond the program's.
mkdir -p "$out/tests"
cp "$out/build/tst_platform.exe" "$out/build/holdopen.exe" "$prefix/bin/Qt6Test.dll" "$out/tests/"
echo "Built $out/quorvin-pdf-batch-$version-setup.exe and $out/quorvin-pdf-batch-$version-win64.zip"
