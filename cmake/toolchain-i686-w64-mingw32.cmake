# Cross-building the 32-bit Windows program with Debian's MinGW-w64
# (package g++-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NIVOR_MINGW_TRIPLET i686-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# of GCC 12 lacks. Its thread library is linked statically like the rest.
set(CMAKE_C_COMPILER ${NIVOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIVOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${NIVOR_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW tree only; programs that run
# during the build or the tests (python3, wine) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${NIVOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
