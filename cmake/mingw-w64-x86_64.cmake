# Cross build for 64-bit Windows with Debian's mingw-w64 compilers. The -posix
# variants are used because the win32-thread ones lack std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DOVEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DOVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DOVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DOVEL_MINGW_TRIPLET}-windres)

# Libraries and packages come from the target's own tree only, never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${DOVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without the compiler's runtime linked in, a program needs DLLs that a Windows
# machine does not have, and it ends without a word.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under wine unless the configuration names another runner.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
