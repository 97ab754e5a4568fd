#!/usr/bin/env bash
# Builds the prefix of Windows libraries the program links, from Debian 12's
# source packages, with the same compiler as the program: about two and a half
# hours on two cores, qtbase an hour and a half of it.
# Usage: windows-prefix.sh PREFIX   (as root; writes PREFIX/.complete when done)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mkdir -p "$1" && cd "$1" && pwd)
src=$prefix.src
mkdir -p "$src"
jobs=$(nproc)
host=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64.cmake

bash "$root/scripts/setup-debian.sh" windows
apt-get install -y -qq --no-install-recommends dpkg-dev nasm autoconf automake libtool \
    gperf python3 perl > /dev/null

# Source packages need deb-src lines: the system's own package sources, made
# source sources in a private list that keeps the system's as they were.
list=/etc/apt/sources.list.d/quorvin-deb-src.sources
if [[ ! -f $list ]]; then
    {
        for file in /etc/apt/sources.list.d/*.sources; do
            [[ -f $file && $file != "$list" ]] && sed 's/^Types:.*/Types: deb-src/' "$file" && echo
        done
        if [[ -f /etc/apt/sources.list ]]; then
            grep -E '^deb ' /etc/apt/sources.list | while read -r _ uri suite components; do
                printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "$uri" "$suite" "$components"
            done
        fi
    } > "$list"
    apt-get update -qq
fi

fetch() { # fetch SOURCE-PACKAGE: unpacks it with Debian's patches, prints its folder
    # A mirror may list a security update before it serves it: then the
    # newest version it does serve.
    (cd "$src" && if ! ls -d "$1"-*/ > /dev/null 2>&1; then
        apt-get source -qq "$1" > /dev/null 2>&1 ||
            for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p'); do
                apt-get source -qq "$1=$version" > /dev/null 2>&1 && break
            done
    fi
    ls -d "$1"-*/ | head -1 | sed "s|^|$src/|; s|/$||")
}
need() { # need FOLDER: stops when a source package could not be had
    [[ -n $1 && -d $1 ]] || { echo "windows-prefix.sh: a source package could not be fetched" >&2; exit 1; }
}
cmake_build() { # cmake_build FOLDER OPTIONS...
    local dir=$1
    shift
    need "$dir"
    cmake -S "$dir" -B "$dir/build-win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DQPB_WIN_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=ON -DCMAKE_SHARED_LINKER_FLAGS="-L$prefix/lib" \
        -DCMAKE_EXE_LINKER_FLAGS="-L$prefix/lib" "$@"
    cmake --build "$dir/build-win" --parallel "$jobs"
    cmake --install "$dir/build-win"
}
autotools_build() { # autotools_build FOLDER OPTIONS...
    local dir=$1
    shift
    need "$dir"
    (cd "$dir" && [[ -x configure ]] || autoreconf -fi)
    (cd "$dir" && PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" CPPFLAGS="-I$prefix/include" \
        LDFLAGS="-L$prefix/lib" ./configure --host=$host --prefix="$prefix" --enable-shared \
        --disable-static CC=$host-gcc-posix CXX=$host-g++-posix "$@" &&
        make -j"$jobs" && make install)
}

mkdir -p "$prefix"/{bin,lib,include}
# Some builds name Windows' own libraries capitalised (-lWs2_32, -lAdvapi32);
# Debian's are lower case, and Linux names are case-sensitive.
for system in ws2_32 advapi32 user32 gdi32 shell32 ole32 oleaut32 crypt32 bcrypt shlwapi \
    winmm uuid version secur32 userenv mpr iphlpapi netapi32 dwmapi uxtheme imm32 comdlg32; do
    capitalised="lib${system^}.a"
    [[ -e $prefix/lib/$capitalised ]] || ln -s "/usr/$host/lib/lib$system.a" "$prefix/lib/$capitalised"
done
# zlib: Debian's own Windows build.
apt-get install -y -qq libz-mingw-w64-dev > /dev/null
cp /usr/$host/lib/libz.dll.a "$prefix/lib/"
cp /usr/$host/bin/zlib1.dll "$prefix/bin/" 2> /dev/null || cp /usr/$host/lib/zlib1.dll "$prefix/bin/"
cp /usr/$host/include/zlib.h /usr/$host/include/zconf.h "$prefix/include/"
# Described where the prefix is, as QPDF's own description asks for it.
mkdir -p "$prefix/lib/pkgconfig"
printf 'prefix=${pcfiledir}/../..\nincludedir=${prefix}/include\nlibdir=${prefix}/lib\nName: zlib\nDescription: zlib\nVersion: 1.2.13\nLibs: -L${libdir} -lz\nCflags: -I${includedir}\n' \
    > "$prefix/lib/pkgconfig/zlib.pc"
# The compiler's runtime DLLs travel with the program.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$(find /usr/lib/gcc/$host /usr/$host/lib -name "$dll" | grep -m1 posix || find /usr/$host/lib /usr/lib/gcc/$host -name "$dll" | head -1)" "$prefix/bin/"
done

cmake_build "$(fetch libjpeg-turbo)" -DENABLE_STATIC=OFF -DWITH_TURBOJPEG=OFF
cmake_build "$(fetch libpng1.6)" -DPNG_STATIC=OFF -DPNG_TESTS=OFF
(d=$(fetch libdeflate) && cd "$d" && make -j"$jobs" CC=$host-gcc-posix libdeflate.dll &&
    cp libdeflate.dll "$prefix/bin/" && cp libdeflate.lib "$prefix/lib/libdeflate.dll.a" &&
    cp libdeflate.h "$prefix/include/" && mkdir -p "$prefix/lib/pkgconfig" &&
    printf 'prefix=${pcfiledir}/../..\nincludedir=${prefix}/include\nlibdir=${prefix}/lib\nName: libdeflate\nDescription: deflate\nVersion: 1.14\nLibs: -L${libdir} -ldeflate\nCflags: -I${includedir}\n' > "$prefix/lib/pkgconfig/libdeflate.pc")
cmake_build "$(fetch tiff)" -Dwebp=OFF -Dzstd=OFF -Dlzma=OFF -Djbig=OFF -Dlerc=OFF -Dtiff-tools=OFF -Dtiff-tests=OFF
cmake_build "$(fetch freetype)" -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON -DFT_DISABLE_BZIP2=ON
cmake_build "$(fetch openjpeg2)" -DBUILD_CODEC=OFF
autotools_build "$(fetch lcms2)"
cmake_build "$(fetch leptonlib)" -DSW_BUILD=OFF -DENABLE_GIF=OFF -DENABLE_WEBP=OFF
cmake_build "$(fetch tesseract)" -DOPENMP_BUILD=OFF -DDISABLE_CURL=ON -DDISABLE_ARCHIVE=ON \
    -DBUILD_TRAINING_TOOLS=OFF -DSW_BUILD=OFF -DBUILD_TESTS=OFF
# QPDF's build copies the DLLs its program needs, looking for them on the PATH.
PATH="$prefix/bin:$PATH" cmake_build "$(fetch qpdf)" -DREQUIRE_CRYPTO_NATIVE=ON -DUSE_IMPLICIT_CRYPTO=OFF -DBUILD_STATIC_LIBS=OFF
cmake_build "$(fetch libarchive)" -DENABLE_OPENSSL=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DENABLE_BZip2=OFF -DENABLE_LZ4=OFF -DENABLE_ICONV=OFF -DENABLE_TEST=OFF -DENABLE_TAR=OFF \
    -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64
# qtbase: Debian's source drops Wacom's tablet headers; Wine's (LGPL-2.1)
# stand in, given the macros Wine's own headers and Wacom's would have defined. And
# without OpenGL the windows plugin must not ask which GL it runs on.
qtbase=$(fetch qt6-base)
need "$qtbase"
if [[ ! -f $qtbase/src/3rdparty/wintab/wintab.h ]]; then
    (cd "$src" && apt-get download -qq libwine-dev > /dev/null && mkdir -p wine-dev &&
        dpkg-deb -x libwine-dev_*.deb wine-dev)
    mkdir -p "$qtbase/src/3rdparty/wintab"
    cp "$src/wine-dev/usr/include/wine/wine/windows/wintab.h" "$qtbase/src/3rdparty/wintab/wine-wintab.h"
    cp "$src/wine-dev/usr/include/wine/wine/windows/pktdef.h" "$qtbase/src/3rdparty/wintab/"
    printf '#pragma once\n#include <_mingw_dxhelper.h>\n#ifndef API\n#define API WINAPI\n#endif\n#include "wine-wintab.h"\n' \
        > "$qtbase/src/3rdparty/wintab/wintab.h"
fi
sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(opengl) \&\& QT_CONFIG(dynamicgl)/' \
    "$qtbase/src/plugins/platforms/windows/qwindowswindow.cpp"
cmake_build "$qtbase" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DQT_BUILD_EXAMPLES=OFF \
    -DQT_BUILD_TESTS=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF \
    -DFEATURE_schannel=ON -DFEATURE_openssl=OFF
cmake_build "$(fetch poppler)" -DENABLE_QT5=OFF -DENABLE_QT6=ON -DENABLE_CPP=OFF -DENABLE_GLIB=OFF \
    -DENABLE_UTILS=OFF -DENABLE_NSS3=OFF -DENABLE_LIBCURL=OFF -DENABLE_GPGME=OFF -DBUILD_GTK_TESTS=OFF \
    -DBUILD_QT6_TESTS=OFF -DBUILD_CPP_TESTS=OFF -DENABLE_BOOST=OFF -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake

touch "$prefix/.complete"
echo "Windows libraries built in $prefix"
