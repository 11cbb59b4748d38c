# ManPages.cmake - qel_zmq_man_page(PAGE COMPONENT): installs a hand-written roff manual
# page, compressed as Debian wants it, into its section's folder; qel_zmq_api_man_pages
# does the same for the C API's pages, which it writes from the header.
function(qel_zmq_man_page page component)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  find_program(QEL_ZMQ_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${QEL_ZMQ_GZIP} ${page} ${out}
    DEPENDS ${page} VERBATIM)
  add_custom_target(qel_man_${name} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# qel_zmq_api_man_pages(HEADER COMPONENT): qel_zmq(3) and one page per exported function,
# written at build time from HEADER's comments by scripts/header-man-pages.py, compressed
# like the pages above, into man3. Without Python the pages are left out (say so once).
function(qel_zmq_api_man_pages header component)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    message(STATUS "No python3: the section-3 manual pages are not built")
    return()
  endif()
  find_program(QEL_ZMQ_GZIP gzip REQUIRED)
  set(script ${PROJECT_SOURCE_DIR}/scripts/header-man-pages.py)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/man3)
  set(pages qel_zmq createConnectionHandle freeHandle connectToQelLuaService
    executeLuaScriptQel freeResult)
  set(compress)
  set(outputs)
  foreach(page ${pages})
    list(APPEND compress COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${QEL_ZMQ_GZIP}
      ${dir}/${page}.3 ${dir}/${page}.3.gz)
    list(APPEND outputs ${dir}/${page}.3.gz)
  endforeach()
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${Python3_EXECUTABLE} ${script} ${header} ${dir}
    ${compress}
    DEPENDS ${header} ${script} VERBATIM)
  add_custom_target(qel_man3 ALL DEPENDS ${outputs})
  install(FILES ${outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT ${component})
endfunction()
