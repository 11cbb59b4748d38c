# Packaging.cmake - `cpack -G DEB` in a tree configured with the `deb` preset (installed
# under /usr) makes the three Debian packages: libqel-zmq1 (the shared library),
# libqel-zmq-dev (header, CMake and pkg-config files) and qel-lua-tools (qel-lua and
# qel-lua-service, their manual pages and the systemd unit) and python3-qel-zmq (the
# Python binding). Each carries the DEP-5 copyright file, the upstream changelog and a
# Debian changelog of this version.
set(QEL_ZMQ_DEB_MAINTAINER "QEL_ZMQ developers <maintainers@qel-zmq.invalid>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-zmq)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QEL_ZMQ developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QEL_ZMQ_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps reads the binaries' NEEDED entries and writes each Depends line from
# Debian's own shlibs data; our library is found in the build tree and in the shlibs
# file below. qel-lua-tools' line is made apart, by DebToolsDepends.cmake (see below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)

set(deb_version ${PROJECT_VERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libqel-zmq1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "client library for the Qel Lua script service
QEL_ZMQ sends Lua scripts to a Lua script service over ZeroMQ and returns
each answer as a string, through five C functions that any host program
able to load a shared library can call.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqel-zmq-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libqel-zmq1 (= ${deb_version})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "pkg-config")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "client library for the Qel Lua script service - development files
The header of QEL_ZMQ, its CMake package (find_package(QelZmq)) and its
pkg-config file. Building against it needs neither ZeroMQ's headers nor
libzmq3-dev.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qel-lua-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# qel-lua-service loads libmicrohttpd itself for --metrics, so dpkg-shlibdeps, which reads
# NEEDED entries, does not see it: it is named here, as its shlibs file would name it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "libqel-zmq1 (= ${deb_version}), libmicrohttpd12 (>= 0.9.75)")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "reference Lua script service and command-line host for QEL_ZMQ
qel-lua-service runs each request it receives over ZeroMQ as a Lua 5.4
chunk in a sandbox, under hard time and memory limits; qel-lua sends
scripts to it through the QEL_ZMQ library. A systemd unit is included
but not enabled.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qel-zmq)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libqel-zmq1 (>= ${deb_version}), python3:any")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python binding of QEL_ZMQ, the client of the Qel Lua script service
The qel_zmq module (ctypes, with type hints) sends Lua scripts to a Lua
script service through the QEL_ZMQ library and returns each answer as a
str, through qel_zmq.Connection(host, port).execute(script). It finds
libqel-zmq1's library through the system's search.")
# The package as Debian's own Python packages lay it out: the module, and its metadata
# so that pip and importlib.metadata know it, without a RECORD (pip must not remove it).
set(python_info ${PROJECT_BINARY_DIR}/python/qel_zmq-${PROJECT_VERSION}.dist-info)
file(WRITE ${python_info}/METADATA "Metadata-Version: 2.1\nName: qel-zmq\nVersion: ${PROJECT_VERSION}\nSummary: ctypes binding of QEL_ZMQ, a blocking client for the Qel Lua script service\nLicense: MIT\nRequires-Python: >=3.8\n")
file(WRITE ${python_info}/top_level.txt "qel_zmq\n")
file(WRITE ${python_info}/INSTALLER "dpkg\n")
# Every module of the package: it is split by concern, and each one is needed.
file(GLOB python_modules ${PROJECT_SOURCE_DIR}/bindings/python/qel_zmq/*.py)
install(FILES ${python_modules} ${PROJECT_SOURCE_DIR}/bindings/python/qel_zmq/py.typed
  DESTINATION lib/python3/dist-packages/qel_zmq COMPONENT python)
install(DIRECTORY ${python_info} DESTINATION lib/python3/dist-packages COMPONENT python)

# The library's shlibs entry, and ldconfig run through its trigger rather than by
# maintainer scripts.
set(deb_control ${PROJECT_BINARY_DIR}/debian-control)
file(WRITE ${deb_control}/shlibs
  "libqel_zmq ${PROJECT_VERSION_MAJOR} libqel-zmq1 (>= ${deb_version})\n")
file(WRITE ${deb_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${deb_control}/shlibs ${deb_control}/triggers)
# The service's options file is the administrator's once installed: dpkg keeps their edits.
file(WRITE ${deb_control}/tools/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/qel-lua-service\n")
# CPack still writes ldconfig into the maintainer scripts of a package that installs a
# library under /usr/lib, with no way to leave it out; debian/libqel-zmq1.lintian-overrides
# says why lintian may accept that.
install(FILES ${PROJECT_SOURCE_DIR}/debian/libqel-zmq1.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libqel-zmq1 COMPONENT runtime)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Maintainer scripts, written by hand (debhelper does not run here): the tools' keep
# deb-systemd-helper's record of the disabled unit and stop the service on removal; the
# binding's byte-compile the module and remove its byte-code again.
foreach(component tools python)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  # The tools' conffiles list travels with their maintainer scripts.
  set(scripts)
  if(component STREQUAL "tools")
    set(scripts ${deb_control}/tools/conffiles)
  endif()
  foreach(script postinst prerm postrm)
    if(EXISTS ${PROJECT_SOURCE_DIR}/debian/${package}.${script})
      configure_file(${PROJECT_SOURCE_DIR}/debian/${package}.${script}
        ${deb_control}/${package}/${script} COPYONLY)
      list(APPEND scripts ${deb_control}/${package}/${script})
    endif()
  endforeach()
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${scripts})
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endforeach()

# Reproducible packages: one time stamp, SOURCE_DATE_EPOCH, for the Debian changelog's
# date and (CPack reads it at packing time) every file in the archives. Unset, it is the
# commit's time, so two builds of one commit agree wherever and whenever they run. (The
# deb preset maps the source path away and builds no build-tree RPATH, whose removal at
# install time would leave a string of the build path's length in qel-lua.)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(QEL_ZMQ_DEB_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE QEL_ZMQ_DEB_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT QEL_ZMQ_DEB_EPOCH MATCHES "^[0-9]+$")
    set(QEL_ZMQ_DEB_EPOCH 946684800)
  endif()
endif()
file(WRITE ${PROJECT_BINARY_DIR}/CPackEpoch.cmake
  "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n  set(ENV{SOURCE_DATE_EPOCH} ${QEL_ZMQ_DEB_EPOCH})\nendif()\n")
# qel-lua-tools' Depends, the same whatever the build machine has installed.
if(TARGET qel-lua AND TARGET qel-lua-service)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackToolsDepends.cmake CONTENT
    "set(QEL_ZMQ_DEB_TOOLS_BINARIES \"$<TARGET_FILE:qel-lua>\" \"$<TARGET_FILE:qel-lua-service>\")
set(QEL_ZMQ_DEB_LIBRARY_DIR \"$<TARGET_FILE_DIR:qel_zmq>\")
set(QEL_ZMQ_DEB_SHLIBDEPS_WORK \"${PROJECT_BINARY_DIR}/debian-shlibdeps\")
include(\"${PROJECT_SOURCE_DIR}/cmake/DebToolsDepends.cmake\")
")
  file(APPEND ${PROJECT_BINARY_DIR}/CPackEpoch.cmake
    "include(${PROJECT_BINARY_DIR}/CPackToolsDepends.cmake)\n")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackEpoch.cmake)

# Per package: /usr/share/doc/PACKAGE/{copyright,changelog.gz,changelog.Debian.gz}.
find_program(QEL_ZMQ_GZIP gzip REQUIRED)
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${QEL_ZMQ_DEB_EPOCH})
string(TIMESTAMP QEL_ZMQ_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
foreach(component runtime development tools python)
  string(TOUPPER ${component} upper)
  set(QEL_ZMQ_DEB_PACKAGE ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc ${PROJECT_BINARY_DIR}/debian-doc/${QEL_ZMQ_DEB_PACKAGE})
  configure_file(${PROJECT_SOURCE_DIR}/debian/changelog.in ${doc}/changelog.Debian @ONLY)
  add_custom_command(OUTPUT ${doc}/changelog.Debian.gz ${doc}/changelog.gz
    COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${QEL_ZMQ_GZIP} ${doc}/changelog.Debian
            ${doc}/changelog.Debian.gz
    COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${QEL_ZMQ_GZIP}
            ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${doc}/changelog.gz
    DEPENDS ${doc}/changelog.Debian ${PROJECT_SOURCE_DIR}/CHANGELOG.md VERBATIM)
  add_custom_target(qel_deb_doc_${component} ALL
    DEPENDS ${doc}/changelog.Debian.gz ${doc}/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${doc}/changelog.Debian.gz
    ${doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QEL_ZMQ_DEB_PACKAGE} COMPONENT ${component})
endforeach()
include(CPack)
