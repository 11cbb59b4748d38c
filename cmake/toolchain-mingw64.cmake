# toolchain-mingw64.cmake - cross build for 64-bit Windows with Debian's MinGW-w64,
# POSIX thread model throughout, so std::thread and libzmq agree on one runtime.
set(CMAKE_SYSTEM_NAME Windows)
# Without a version, MinGW's headers leave _WIN32_WINNT empty and libzmq fails to build.
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_ZMQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_ZMQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_ZMQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_ZMQ_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QEL_ZMQ_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${QEL_ZMQ_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "Ranlib")

# Everything is linked statically: the C++ runtime, libgcc and winpthread end up
# inside each DLL/EXE, which then imports Windows system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Headers and libraries come from the MinGW sysroot (and the cross-built dependencies,
# which cmake/WindowsDeps.cmake names by path), never from the build machine's /usr.
# Each CMAKE_PREFIX_PATH entry is a root as well: with the package mode ONLY, CMake would
# otherwise look for a prefix such as an unpacked Windows release only under the sysroot,
# and -DCMAKE_PREFIX_PATH would not find it as it does in a native build.
set(CMAKE_FIND_ROOT_PATH /usr/${QEL_ZMQ_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
