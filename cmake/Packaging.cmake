# Packaging.cmake - `cpack -G DEB` turns the install tree (library, header, CMake and
# pkg-config files, qel-lua and qel-lua-service) into one Debian package, qel-zmq.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the library lands in Debian's multiarch dir.
set(QEL_ZMQ_DEB_MAINTAINER "QEL_ZMQ developers" CACHE STRING
  "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-zmq)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client library and reference service for Qel Lua scripts")
set(CPACK_PACKAGE_DESCRIPTION
  "QEL_ZMQ sends Lua scripts to a Lua script service over ZeroMQ and returns each answer
as a string, through five C functions any host can load. The package also holds
qel-lua-service, a reference service that runs each request in Lua 5.4, and qel-lua,
a command-line host. Building against it with pkg-config also needs libzmq3-dev.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QEL_ZMQ_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps reads the binaries' NEEDED entries and writes the Depends line from
# Debian's own shlibs data: libzmq5, liblua5.4-0 and the C/C++ runtimes. Our own
# library lives in the package itself, so the build tree is searched for it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
# A shlibs entry for libqel_zmq.so.1, and ldconfig run on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libzmq3-dev, pkg-config")
include(CPack)
