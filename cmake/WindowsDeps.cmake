# WindowsDeps.cmake - what the MinGW-w64 cross build needs beyond the project itself:
# static libzmq and googletest cross-built with ExternalProject (libzmq from Debian's
# zeromq3 source package, googletest from Debian's /usr/src/googletest), the headers of
# Debian's cppzmq-dev, and wine to run the Windows programs that ctest and the build start.
# What goes into the DLL comes from the files windows/pinned-packages.txt pins by version
# and SHA-256.
include_guard(GLOBAL)
include(ExternalProject)

# QEL_ZMQ_WIN_DEPS_FROM names the prefix of another tree's dependencies to use instead of
# building them (the reproducibility check builds the DLL a second time that way).
set(QEL_ZMQ_WIN_DEPS_FROM "" CACHE PATH "Prefix of already cross-built dependencies")
if(QEL_ZMQ_WIN_DEPS_FROM)
  set(QEL_ZMQ_WIN_DEPS ${QEL_ZMQ_WIN_DEPS_FROM})
else()
  set(QEL_ZMQ_WIN_DEPS ${CMAKE_BINARY_DIR}/deps/prefix)
endif()
set(QEL_ZMQ_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Private wine prefix for running tests")
set(QEL_ZMQ_WIN_PACKAGE_DIR "${CMAKE_BINARY_DIR}/QEL_ZMQ-win64" CACHE PATH "Pick-up folder for the DLL")
set(QEL_ZMQ_LINUX_SERVICE "" CACHE FILEPATH "Linux qel-lua-service for the end-to-end test")
set(QEL_ZMQ_LINUX_LIBRARY "" CACHE FILEPATH "Linux libqel_zmq.so.1 for the NuGet and wheel checks")
file(MAKE_DIRECTORY ${QEL_ZMQ_WIN_DEPS}/include/cppzmq ${QEL_ZMQ_WIN_DEPS}/lib)

# The pinned files, downloaded beforehand by the explicit step `make windows-sources`
# (scripts/fetch-windows-sources.sh); nothing is downloaded while building. Configuring
# fails unless each has its pinned SHA-256, and unpacking checks them once more.
set(QEL_ZMQ_WIN_SOURCES "${PROJECT_SOURCE_DIR}/build-sources" CACHE PATH
  "Folder of the pinned Debian files (scripts/fetch-windows-sources.sh)")
set(QEL_ZMQ_PINS ${PROJECT_SOURCE_DIR}/windows/pinned-packages.txt)
set(QEL_ZMQ_FETCH ${PROJECT_SOURCE_DIR}/scripts/fetch-windows-sources.sh)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QEL_ZMQ_PINS})
# The one pinned file named PACKAGE_VERSION.SUFFIX (SUFFIX: dsc, or ARCH.deb).
function(qel_zmq_pinned_file out package suffix)
  file(STRINGS ${QEL_ZMQ_PINS} lines REGEX "^[^#]*/${package}_[^ /]*${suffix} ")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${QEL_ZMQ_PINS} pins ${count} files ${package}_*${suffix}, not one")
  endif()
  string(REGEX REPLACE "^.*/([^ /]+) .*$" "\\1" name "${lines}")
  set(${out} ${name} PARENT_SCOPE)
endfunction()
qel_zmq_pinned_file(QEL_ZMQ_LIBZMQ_DSC zeromq3 "\\.dsc")
qel_zmq_pinned_file(QEL_ZMQ_CPPZMQ_DEB cppzmq-dev "\\.deb")
if(NOT QEL_ZMQ_WIN_DEPS_FROM)
  execute_process(COMMAND ${QEL_ZMQ_FETCH} --check ${QEL_ZMQ_WIN_SOURCES}
    RESULT_VARIABLE pins_result ERROR_VARIABLE pins_error)
  if(NOT pins_result EQUAL 0)
    message(FATAL_ERROR "The pinned Debian files are not in ${QEL_ZMQ_WIN_SOURCES} as "
      "windows/pinned-packages.txt pins them; `make windows-sources` fetches them.\n${pins_error}")
  endif()
endif()

# The DLL is reproducible: no build path and no time stamp end up in it, so two builds
# from two folders give the same bytes.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
add_link_options(-Wl,--no-insert-timestamp)

# TCP only, no CURVE, no draft API; the ipc transport does not build with MinGW. The
# unity build cuts the compile time by about three on two cores.
if(QEL_ZMQ_WIN_DEPS_FROM)
  add_custom_target(qel_win_libzmq)
else()
ExternalProject_Add(qel_win_libzmq
  PREFIX ${CMAKE_BINARY_DIR}/deps/libzmq
  DOWNLOAD_COMMAND ${QEL_ZMQ_FETCH} --unpack ${QEL_ZMQ_WIN_SOURCES} ${QEL_ZMQ_LIBZMQ_DSC} <SOURCE_DIR>
  UPDATE_COMMAND ""
  CMAKE_ARGS -Wno-dev -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_INSTALL_PREFIX=${QEL_ZMQ_WIN_DEPS} -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED=OFF -DBUILD_STATIC=ON -DBUILD_TESTS=OFF -DWITH_DOCS=OFF -DWITH_DOC=OFF
    -DENABLE_CPACK=OFF -DENABLE_DRAFTS=OFF -DENABLE_WS=OFF -DENABLE_CURVE=OFF
    -DWITH_LIBSODIUM=OFF -DWITH_OPENPGM=OFF -DWITH_NORM=OFF -DWITH_VMCI=OFF
    -DZMQ_HAVE_IPC=OFF -DENABLE_PRECOMPILED=OFF -DCMAKE_UNITY_BUILD=ON
    -DCMAKE_UNITY_BUILD_BATCH_SIZE=16
    "-DCMAKE_C_FLAGS=-ffile-prefix-map=${CMAKE_BINARY_DIR}=deps"
    "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=${CMAKE_BINARY_DIR}=deps"
  BUILD_BYPRODUCTS ${QEL_ZMQ_WIN_DEPS}/lib/libzmq.a
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON)
# A new pin unpacks and builds libzmq again.
ExternalProject_Add_StepDependencies(qel_win_libzmq download ${QEL_ZMQ_PINS})
endif()

# Where libzmq's sources were unpacked: the release takes its notices from there.
set(QEL_ZMQ_LIBZMQ_SOURCE ${CMAKE_BINARY_DIR}/deps/libzmq/src/qel_win_libzmq)
if(QEL_ZMQ_WIN_DEPS_FROM)
  get_filename_component(QEL_ZMQ_LIBZMQ_SOURCE
    ${QEL_ZMQ_WIN_DEPS_FROM}/../libzmq/src/qel_win_libzmq ABSOLUTE)
endif()

# libzmq as a static archive: ZMQ_STATIC drops the dllimport decoration from zmq.h.
add_library(qel_win_zmq INTERFACE)
target_include_directories(qel_win_zmq INTERFACE ${QEL_ZMQ_WIN_DEPS}/include)
target_compile_definitions(qel_win_zmq INTERFACE ZMQ_STATIC)
target_link_libraries(qel_win_zmq INTERFACE ${QEL_ZMQ_WIN_DEPS}/lib/libzmq.a ws2_32 iphlpapi
  rpcrt4)
add_dependencies(qel_win_zmq qel_win_libzmq)

# The cppzmq headers of the pinned cppzmq-dev package, unpacked in the build tree, so the
# build machine's /usr/include (and whichever cppzmq-dev it has) stays off the path. The
# release takes cppzmq's copyright file from there as well.
set(QEL_ZMQ_CPPZMQ_PACKAGE ${CMAKE_BINARY_DIR}/deps/cppzmq)
if(QEL_ZMQ_WIN_DEPS_FROM)
  get_filename_component(QEL_ZMQ_CPPZMQ_PACKAGE ${QEL_ZMQ_WIN_DEPS_FROM}/../cppzmq ABSOLUTE)
else()
  set(stamp ${QEL_ZMQ_CPPZMQ_PACKAGE}.unpacked)
  set(unpacked "")
  if(EXISTS ${stamp})
    file(READ ${stamp} unpacked)
  endif()
  if(NOT unpacked STREQUAL "${QEL_ZMQ_CPPZMQ_DEB}\n")
    execute_process(COMMAND ${QEL_ZMQ_FETCH} --unpack ${QEL_ZMQ_WIN_SOURCES} ${QEL_ZMQ_CPPZMQ_DEB}
      ${QEL_ZMQ_CPPZMQ_PACKAGE} RESULT_VARIABLE unpack_result ERROR_VARIABLE unpack_error)
    if(NOT unpack_result EQUAL 0)
      message(FATAL_ERROR "Unpacking ${QEL_ZMQ_CPPZMQ_DEB} failed:\n${unpack_error}")
    endif()
    file(WRITE ${stamp} "${QEL_ZMQ_CPPZMQ_DEB}\n")
  endif()
  foreach(header zmq.hpp zmq_addon.hpp)
    configure_file(${QEL_ZMQ_CPPZMQ_PACKAGE}/usr/include/${header}
      ${QEL_ZMQ_WIN_DEPS}/include/cppzmq/${header} COPYONLY)
  endforeach()
endif()
add_library(cppzmq INTERFACE)
target_include_directories(cppzmq INTERFACE ${QEL_ZMQ_WIN_DEPS}/include/cppzmq)
target_link_libraries(cppzmq INTERFACE qel_win_zmq)

if(QEL_ZMQ_BUILD_TESTS AND NOT QEL_ZMQ_WIN_DEPS_FROM)
  ExternalProject_Add(qel_win_googletest
    PREFIX ${CMAKE_BINARY_DIR}/deps/googletest
    SOURCE_DIR /usr/src/googletest
    CMAKE_ARGS -Wno-dev -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
      -DCMAKE_INSTALL_PREFIX=${QEL_ZMQ_WIN_DEPS} -DCMAKE_BUILD_TYPE=Release
      -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
    BUILD_BYPRODUCTS ${QEL_ZMQ_WIN_DEPS}/lib/libgtest.a ${QEL_ZMQ_WIN_DEPS}/lib/libgtest_main.a
    LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON)
  foreach(part gtest gtest_main)
    add_library(qel_win_${part} INTERFACE)
    target_include_directories(qel_win_${part} INTERFACE ${QEL_ZMQ_WIN_DEPS}/include)
    target_link_libraries(qel_win_${part} INTERFACE ${QEL_ZMQ_WIN_DEPS}/lib/lib${part}.a)
    if(TARGET qel_win_googletest)
      add_dependencies(qel_win_${part} qel_win_googletest)
    endif()
    add_library(GTest::${part} ALIAS qel_win_${part})
  endforeach()
  target_link_libraries(qel_win_gtest_main INTERFACE qel_win_gtest)
endif()

# Programs and the DLL share one directory, so the loader finds the DLL next to them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")

# Every Windows program that ctest or the build runs goes through wine in the private
# prefix; tests are listed only when ctest runs, once wine has booted.
configure_file("${PROJECT_SOURCE_DIR}/tests/windows/wine-run.sh.in"
  "${CMAKE_BINARY_DIR}/wine-run.sh" @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE
  OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run.sh")
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
