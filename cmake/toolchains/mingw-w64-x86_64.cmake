# Cross build for 64-bit Windows with MinGW-w64 (POSIX threads, so that
# std::thread and std::mutex work). Debian: g++-mingw-w64-x86-64-posix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KANADE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KANADE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KANADE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KANADE_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KANADE_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KANADE_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${KANADE_MINGW_TRIPLE}-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP ${KANADE_MINGW_TRIPLE}-strip CACHE FILEPATH "")

# Libraries come from the MinGW sysroot and from the folders given in
# CMAKE_PREFIX_PATH (the cache of cross-built libraries); programs that run
# during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KANADE_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must only see the cross-built .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "")
foreach(prefix IN LISTS CMAKE_PREFIX_PATH)
  set(ENV{PKG_CONFIG_LIBDIR} "$ENV{PKG_CONFIG_LIBDIR}:${prefix}/lib/pkgconfig")
endforeach()

# One executable that needs no DLL beside it: the C and C++ runtimes and
# winpthreads are linked in. No link time in the PE header: the same sources
# give the same file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
