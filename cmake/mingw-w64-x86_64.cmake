# Cross build for 64-bit Windows with the Debian mingw-w64 tool chain (POSIX
# thread model), linked statically so that the executables run under Wine or
# on Windows without the tool chain's DLLs.
#
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVINDRAL_BUILD_UI=OFF
#
# GoogleTest for the tests has to be built with the same tool chain; pass its
# install prefix in CMAKE_PREFIX_PATH (tests/wine/run.sh does all of this).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VINDRAL_MINGW_TRIPLET x86_64-w64-mingw32)
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
find_program(VINDRAL_WINE NAMES wine wine64)
if(VINDRAL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VINDRAL_WINE})
endif()
