#!/usr/bin/env bash
# Lays out the Windows program in one folder: the executables and the module,
# every DLL they need from the prefix (followed through imports), Qt's
# plugins, Qt's Chinese translation, the OCR models and the licences.
# Usage: deploy.sh <build folder> <prefix> <destination>
set -euo pipefail
build=$1 prefix=$2 dest=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

rm -rf "$dest"
mkdir -p "$dest"/{platforms,styles,imageformats,tls,translations,tessdata,licenses}
cp "$build"/quorvin-pdf-batch.exe "$build"/quorvin-pdf-batch.com "$build"/libquorvin-pdf-batch.dll "$dest"/
# Workers draw pages without a window, on the offscreen platform.
cp "$prefix"/plugins/platforms/{qwindows,qoffscreen}.dll "$dest"/platforms/
cp "$prefix"/plugins/tls/qschannelbackend.dll "$dest"/tls/
printf '[Paths]\nPrefix=.\nPlugins=.\nTranslations=translations\n' > "$dest"/qt.conf
cp "$prefix"/plugins/styles/qwindowsvistastyle.dll "$dest"/styles/
for format in qjpeg qico qgif; do
    [[ -f $prefix/plugins/imageformats/$format.dll ]] && cp "$prefix/plugins/imageformats/$format.dll" "$dest"/imageformats/
done

# The DLLs a file imports that the prefix provides; the system's are left out.
imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
declare -A seen=()
queue=("$dest"/*.exe "$dest"/*.com "$dest"/*.dll "$dest"/platforms/*.dll "$dest"/styles/*.dll)
queue+=("$dest"/imageformats/*.dll "$dest"/tls/*.dll)
while ((${#queue[@]})); do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    [[ -f $file ]] || continue
    while read -r name; do
        found=$(find "$prefix/bin" -maxdepth 1 -iname "$name" -print -quit)
        [[ -n $found && -z ${seen[$name]:-} ]] || continue
        seen[$name]=1
        cp "$found" "$dest"/
        queue+=("$dest/$(basename "$found")")
    done < <(imports "$file")
done

cp /usr/share/qt6/translations/qtbase_zh_CN.qm "$dest"/translations/
for model in eng chi_sim chi_tra osd; do
    cp "/usr/share/tesseract-ocr/5/tessdata/$model.traineddata" "$dest"/tessdata/
done
cp "$root"/LICENSE "$root"/packaging/THIRD-PARTY.md "$dest"/licenses/
for text in Apache-2.0 GPL-2 LGPL-3 GPL-3; do
    cp "/usr/share/common-licenses/$text" "$dest/licenses/$text.txt"
done
