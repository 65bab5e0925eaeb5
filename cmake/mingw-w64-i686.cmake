# Cross build for 32-bit Windows with the Debian mingw-w64 tool chain (POSIX
# thread model), linked statically. This is the Windows build that ships: ASPI
# managers (wnaspi32.dll) are 32-bit DLLs, which only a 32-bit process can load.
#
#   cmake -S . -B build-win32 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DVINDRAL_BUILD_UI=OFF
#
# GoogleTest for the tests has to be built with the same tool chain; pass its
# install prefix in CMAKE_PREFIX_PATH (tests/wine/run.sh i686 does all of this).
# The executables run under a 32-bit Wine prefix (WINEARCH=win32, package wine32).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VINDRAL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VINDRAL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VINDRAL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VINDRAL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VINDRAL_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test discovery runs the test executable; under a cross build that happens
# at test time, through Wine when it is installed.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
find_program(VINDRAL_WINE NAMES wine)
if(VINDRAL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VINDRAL_WINE})
endif()
