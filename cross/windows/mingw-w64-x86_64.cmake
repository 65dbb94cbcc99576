# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads), tests run by Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVIMO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVIMO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVIMO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVIMO_MINGW}-windres)
# GCC's runtime linked in, as into the cross-built libraries, so that no DLL of GCC is shipped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

set(CMAKE_FIND_ROOT_PATH /usr/${TOVIMO_MINGW})
# The cross-built libraries' prefix (scripts/build-windows passes it) is searched as well.
if(TOVIMO_WINDOWS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TOVIMO_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TOVIMO_WINE NAMES wine wine64)
if(TOVIMO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOVIMO_WINE})
endif()
