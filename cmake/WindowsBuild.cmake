# WindowsBuild.cmake - the Windows cross build's additions, included right after
# project(QEL_ZMQ) through CMAKE_PROJECT_QEL_ZMQ_INCLUDE by scripts/build-windows.sh.
# It supplies the `cppzmq` target over the cross-built static libzmq, runs Windows
# programs under wine, and adds the DLL host and the pick-up folder.
include_guard(GLOBAL)

if(NOT WIN32)
  message(FATAL_ERROR "WindowsBuild.cmake is for the MinGW cross build only")
endif()
if(NOT QEL_ZMQ_WIN_DEPS OR NOT EXISTS "${QEL_ZMQ_WIN_DEPS}/lib/libzmq.a")
  message(FATAL_ERROR "QEL_ZMQ_WIN_DEPS must name the prefix of the cross-built libzmq")
endif()
set(QEL_ZMQ_WIN_DEPS "${QEL_ZMQ_WIN_DEPS}" CACHE PATH "Prefix of cross-built libzmq, cppzmq headers and googletest")
set(QEL_ZMQ_WIN_PACKAGE_DIR "${CMAKE_BINARY_DIR}/QEL_ZMQ-win64" CACHE PATH "Pick-up folder for the DLL")
set(QEL_ZMQ_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Private wine prefix for running tests")
set(QEL_ZMQ_LINUX_SERVICE "" CACHE FILEPATH "Linux qel-lua-service for the end-to-end test")
set(QEL_ZMQ_LINUX_ECHO_PEER "" CACHE FILEPATH "Linux echo peer, used when no service is given")

# libzmq as a static archive: ZMQ_STATIC drops the dllimport decoration from zmq.h.
add_library(qel_zmq_libzmq_static STATIC IMPORTED)
set_target_properties(qel_zmq_libzmq_static PROPERTIES
  IMPORTED_LOCATION "${QEL_ZMQ_WIN_DEPS}/lib/libzmq.a"
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_ZMQ_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS ZMQ_STATIC
  INTERFACE_LINK_LIBRARIES "ws2_32;iphlpapi;rpcrt4")

# Debian's cppzmq headers, copied into the prefix (never the host's /usr/include).
add_library(cppzmq INTERFACE IMPORTED)
set_target_properties(cppzmq PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_ZMQ_WIN_DEPS}/include/cppzmq"
  INTERFACE_LINK_LIBRARIES qel_zmq_libzmq_static)

# Programs and the DLL share one directory, so the loader finds the DLL next to them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")

# Every Windows program that ctest or the build runs goes through wine in the
# private prefix; tests are listed only when ctest runs, after wine has booted.
configure_file("${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run.sh.in"
  "${CMAKE_BINARY_DIR}/wine-run.sh" @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE
  OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run.sh")
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# The DLL host and the pick-up folder. They refer to the library target only through
# generator expressions and target dependencies, which are resolved once the whole
# project has been read, so they may come before src/.
include(${CMAKE_CURRENT_LIST_DIR}/QelZmqWarnings.cmake)
add_subdirectory(${PROJECT_SOURCE_DIR}/windows ${CMAKE_BINARY_DIR}/windows)
