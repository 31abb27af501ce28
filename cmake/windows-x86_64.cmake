# Cross-building the Windows program with mingw-w64 (the posix thread flavour,
# which has std::thread). Libraries come only from the mingw sysroot and the
# folder the Windows dependencies were built into (SWK_WIN_DEPS).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SWK_WIN_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SWK_WIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SWK_WIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SWK_WIN_TRIPLE}-windres)

if(NOT SWK_WIN_DEPS AND DEFINED ENV{SWK_WIN_DEPS})
  set(SWK_WIN_DEPS $ENV{SWK_WIN_DEPS})
endif()
# try_compile projects see this too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SWK_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${SWK_WIN_TRIPLE} ${SWK_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
