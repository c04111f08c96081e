# Cross-builds the Windows x86-64 exe with Debian's mingw-w64. The -posix compilers carry the
# winpthreads threading model, so that std::thread and std::mutex exist. Everything is linked
# statically: the exe needs no DLL beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MX40R_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MX40R_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MX40R_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MX40R_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MX40R_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The exe that ships carries no symbol table. -O2, as the Linux build has: GCC 12 at -O3 reports
# array bounds inside std::vector that are not there.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")

# The cross-built tests run under Wine; ctest and gtest_discover_tests start them through it.
find_program(MX40R_WINE wine)
if(MX40R_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MX40R_WINE})
endif()
