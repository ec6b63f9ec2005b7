# Cross-builds for 64-bit Windows with MinGW-w64 (posix thread model). The libraries come from
# scripts/setup-windows.sh, and ctest runs the programs under wine through scripts/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QOR_WIN_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/win-deps/prefix"
    CACHE PATH "Prefix holding the Windows builds of the third-party libraries")
get_filename_component(_qor_win_deps "${QOR_WIN_DEPS}" ABSOLUTE)
# try_compile projects read this file again: let them see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QOR_WIN_DEPS)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries, headers and packages only from the prefix and the MinGW runtime, never from the host,
# whose glibc headers would break the build; programs (pkg-config, python) from the host.
set(CMAKE_FIND_ROOT_PATH "${_qor_win_deps}" /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg_check_modules sees only the Windows .pc files; they carry their own paths.
set(ENV{PKG_CONFIG_LIBDIR} "${_qor_win_deps}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The C and C++ runtimes and winpthread linked in, so the programs run under wine as they are.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
