# Sanitizers.cmake - whole-build sanitizer and fuzzing switches.
# QEL_ZMQ_SANITIZE instruments every target of the build (library, service, tests);
# QEL_ZMQ_FUZZ adds the libFuzzer coverage hooks and builds the fuzz targets (clang).
set(QEL_ZMQ_SANITIZE "" CACHE STRING
    "Sanitizers for every target: empty, address,undefined, address, undefined or thread")
set_property(CACHE QEL_ZMQ_SANITIZE PROPERTY STRINGS "" "address,undefined" "address"
                                                     "undefined" "thread")
option(QEL_ZMQ_FUZZ "Build the libFuzzer targets (needs clang and libclang-rt)" OFF)

if(QEL_ZMQ_SANITIZE)
  string(REPLACE "," ";" _qel_sanitizers "${QEL_ZMQ_SANITIZE}")
  foreach(_s IN LISTS _qel_sanitizers)
    if(NOT _s MATCHES "^(address|undefined|thread)$")
      message(FATAL_ERROR "QEL_ZMQ_SANITIZE: unknown sanitizer '${_s}'")
    endif()
  endforeach()
  if("thread" IN_LIST _qel_sanitizers AND "address" IN_LIST _qel_sanitizers)
    message(FATAL_ERROR "QEL_ZMQ_SANITIZE: thread and address cannot be combined")
  endif()
  if(MSVC)
    message(FATAL_ERROR "QEL_ZMQ_SANITIZE is for GCC and Clang builds")
  endif()

  # Any report is a failure: no recovering past the first one, and frame pointers
  # keep the reported stacks readable in optimised builds.
  add_compile_options(-fsanitize=${QEL_ZMQ_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${QEL_ZMQ_SANITIZE})
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang links its sanitizer runtime into executables only; the library's own
    # references to it are resolved when a host loads it, so its --no-undefined
    # link check is lifted once the library target exists.
    if(CMAKE_VERSION VERSION_LESS 3.19)
      message(FATAL_ERROR "clang sanitizer builds need CMake 3.19 or newer")
    endif()
    function(_qel_zmq_allow_runtime_undefs)
      if(TARGET qel_zmq)
        set_property(TARGET qel_zmq APPEND PROPERTY LINK_OPTIONS -Wl,-z,undefs)
      endif()
    endfunction()
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _qel_zmq_allow_runtime_undefs)
  endif()
  message(STATUS "QEL_ZMQ: sanitizers ${QEL_ZMQ_SANITIZE}")
endif()

if(QEL_ZMQ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QEL_ZMQ_FUZZ needs clang (for example CXX=clang++-14)")
  endif()
  # Coverage hooks everywhere; only the fuzz executables link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
  set(QEL_ZMQ_FUZZER_LINK_FLAGS -fsanitize=fuzzer)
  message(STATUS "QEL_ZMQ: libFuzzer targets enabled")
endif()
