# ManPages.cmake - qel_zmq_man_page(PAGE COMPONENT): installs a hand-written roff manual
# page, compressed as Debian wants it, into its section's folder.
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
