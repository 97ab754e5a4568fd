# Cross-building for Windows x86-64 on Debian with mingw-w64 (posix threads:
# the win32 thread model of GCC 12 has no std::thread or std::mutex).
# QPB_WIN_PREFIX names the prefix holding Qt and the other libraries built for Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT QPB_WIN_PREFIX AND DEFINED ENV{QPB_WIN_PREFIX})
    set(QPB_WIN_PREFIX "$ENV{QPB_WIN_PREFIX}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QPB_WIN_PREFIX)
set(CMAKE_FIND_ROOT_PATH "${QPB_WIN_PREFIX}" /usr/x86_64-w64-mingw32)
set(CMAKE_PREFIX_PATH "${QPB_WIN_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the prefix's .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QPB_WIN_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Qt's build tools (moc, rcc, uic) are the build machine's, of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
# Debian's host Qt carries no Qt6HostInfo package: this folder holds one.
set(Qt6HostInfo_DIR "${CMAKE_CURRENT_LIST_DIR}/qt6hostinfo" CACHE PATH "")

# -O2 as the Debian build: GCC 12 at -O3 warns falsely inside std::string (-Wrestrict).
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
