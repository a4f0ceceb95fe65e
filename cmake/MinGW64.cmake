# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX
# thread model: std::thread over winpthreads). Everything is linked
# statically, so the programs run on Windows 10 and 11 with nothing
# installed: the C++ runtime, libgcc and winpthreads go into the .exe.
#
# The tests run the .exe files through Wine (CMAKE_CROSSCOMPILING_EMULATOR:
# tests/windows/wine.sh, with a Wine prefix in the build folder), where
# wine64 is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DERUZERA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DERUZERA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DERUZERA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${DERUZERA_MINGW}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${DERUZERA_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not hand out the build machine's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${DERUZERA_MINGW}/lib/pkgconfig)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Windows 10 is the oldest system the programs are made for.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")

# wine64 runs the tests: Debian keeps it in /usr/lib/wine, off the PATH.
find_program(DERUZERA_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(DERUZERA_WINE64)
  get_filename_component(DERUZERA_WINE_SH ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine.sh ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DERUZERA_WINE_SH} ${CMAKE_BINARY_DIR}/wine-prefix)
endif()
