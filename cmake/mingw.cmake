# Shared part of the Windows cross-build toolchains: the including file sets
# MINGW_TRIPLET (the compiler prefix) and MINGW_EMULATOR (how tests start).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program links the C++ runtime in, so it runs without mingw DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs are started through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_EMULATOR})
