# Cross-builds Tavrel.exe with Debian's MinGW-w64 compilers. The posix
# thread model gives std::thread and std::mutex; everything is linked
# statically so that the program file runs alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVREL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TAVREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under Wine; the caller starts Wine's session first.
find_program(TAVREL_WINE wine)
if(TAVREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVREL_WINE})
endif()
