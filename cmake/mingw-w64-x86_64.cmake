# Cross build of the Windows x64 DLL on Debian with MinGW-w64 (package
# g++-mingw-w64-x86-64-posix). Everything is linked statically, so
# QZ_FTDIx64.dll and the test programs need nothing beyond KERNEL32 and msvcrt.
# Programs of the build run under Wine (packages wine, wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QZ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QZ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QZ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QZ_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QZ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libstdc++/libgcc/winpthread DLLs beside ours.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Windows programs of the build (the tests) run under Wine: quietly, and in a
# prefix of their own ($WINEPREFIX if set when configuring, else one in the
# build directory) so that a developer's ~/.wine is left alone.
find_program(QZ_WINE wine)
if(QZ_WINE)
  if(DEFINED ENV{WINEPREFIX})
    set(QZ_WINEPREFIX "$ENV{WINEPREFIX}" CACHE PATH "Wine prefix for running the tests")
  else()
    set(QZ_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Wine prefix for running the tests")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEDEBUG=-all WINEPREFIX=${QZ_WINEPREFIX} ${QZ_WINE})
endif()
