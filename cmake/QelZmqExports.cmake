# QelZmqExports.cmake - the library's export list, read once from the QEL_ZMQ_API
# declarations of include/qel_zmq.h, and the files made from it in the build tree: the
# ELF version script, the Windows .def file and the sorted list the export checks compare with.
include_guard(GLOBAL)

set(_qel_header ${PROJECT_SOURCE_DIR}/include/qel_zmq.h)
file(STRINGS ${_qel_header} _qel_declarations REGEX "^QEL_ZMQ_API ")
set(QEL_ZMQ_EXPORTS "")
foreach(line IN LISTS _qel_declarations)
  # The name is the identifier right before the parameter list's opening parenthesis.
  if(NOT line MATCHES "^QEL_ZMQ_API [^(]*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)\\(")
    message(FATAL_ERROR "${_qel_header}: cannot read the function name of: ${line}")
  endif()
  list(APPEND QEL_ZMQ_EXPORTS ${CMAKE_MATCH_1})
endforeach()
if(NOT QEL_ZMQ_EXPORTS)
  message(FATAL_ERROR "${_qel_header} declares no QEL_ZMQ_API function")
endif()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_qel_header})

# configure_file rewrites a file only when its text changes, so the library relinks
# only when the list does.
list(JOIN QEL_ZMQ_EXPORTS ";\n    " QEL_ZMQ_MAP_LINES)
set(QEL_ZMQ_MAP_LINES "    ${QEL_ZMQ_MAP_LINES};")
list(JOIN QEL_ZMQ_EXPORTS "\n    " QEL_ZMQ_DEF_LINES)
set(QEL_ZMQ_DEF_LINES "    ${QEL_ZMQ_DEF_LINES}")
set(QEL_ZMQ_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/exports/qel_zmq.map)
set(QEL_ZMQ_DEF_FILE ${PROJECT_BINARY_DIR}/exports/qel_zmq.def)
set(QEL_ZMQ_EXPORTS_FILE ${PROJECT_BINARY_DIR}/exports/exports.txt)
configure_file(${PROJECT_SOURCE_DIR}/src/qel_zmq.map.in ${QEL_ZMQ_VERSION_SCRIPT} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/src/qel_zmq.def.in ${QEL_ZMQ_DEF_FILE} @ONLY)
# One name a line, in the C locale's order, as the checks sort what nm and objdump list.
set(_qel_sorted ${QEL_ZMQ_EXPORTS})
list(SORT _qel_sorted)
list(JOIN _qel_sorted "\n" _qel_sorted)
file(CONFIGURE OUTPUT ${QEL_ZMQ_EXPORTS_FILE} CONTENT "${_qel_sorted}\n" @ONLY)
unset(_qel_sorted)
unset(_qel_declarations)
unset(_qel_header)
