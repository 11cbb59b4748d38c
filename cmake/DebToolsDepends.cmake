# DebToolsDepends.cmake - read by cpack through CPACK_PROJECT_CONFIG_FILE: qel-lua-tools'
# Depends from dpkg-shlibdeps run on its programs with libqel-zmq1 left out, which the
# package already names exactly (= VERSION).
# dpkg-shlibdeps, run by CPack itself, finds libqel_zmq.so.1 both in the build tree and,
# when libqel-zmq1 is installed on the build machine, in the system, and only then adds
# a second libqel-zmq1 entry: the package would depend on what the builder had installed.
find_program(QEL_ZMQ_SHLIBDEPS dpkg-shlibdeps)
if(QEL_ZMQ_SHLIBDEPS AND CPACK_GENERATOR STREQUAL "DEB")
  # dpkg-shlibdeps wants a debian/control below the folder it runs in.
  set(work ${QEL_ZMQ_DEB_SHLIBDEPS_WORK})
  file(MAKE_DIRECTORY ${work}/debian)
  file(WRITE ${work}/debian/control "")
  execute_process(COMMAND ${QEL_ZMQ_SHLIBDEPS} -l${QEL_ZMQ_DEB_LIBRARY_DIR}
      --ignore-missing-info -xlibqel-zmq1 -O ${QEL_ZMQ_DEB_TOOLS_BINARIES}
    WORKING_DIRECTORY ${work} OUTPUT_VARIABLE depends ERROR_VARIABLE errors
    RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT depends MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps failed on qel-lua-tools' programs: ${errors}")
  endif()
  string(REGEX REPLACE "^shlibs:Depends=" "" depends "${depends}")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS}, ${depends}")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS OFF)
endif()
