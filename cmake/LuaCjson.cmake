# cmake/LuaCjson.cmake - lua-cjson 2.1.0 (third_party/lua-cjson-2.1.0), patched at build
# time with its qel.patch into qel_cjson, the service's `json`, and into a loadable
# `cjson` module on the patched Lua that runs the release's own test suite.
find_program(PATCH_PROGRAM patch REQUIRED)

set(QEL_CJSON_DIR ${PROJECT_SOURCE_DIR}/third_party/lua-cjson-2.1.0)
set(_cjson_sources lua_cjson.c strbuf.c fpconv.c)
set(_cjson_files ${_cjson_sources} strbuf.h fpconv.h lua/cjson/util.lua tests/test.lua
  tests/example1.json tests/example2.json tests/example3.json tests/example4.json
  tests/example5.json tests/numbers.json tests/octets-escaped.dat tests/rfc-example1.json
  tests/rfc-example2.json tests/types.json)

# The patched tree: the files above copied into the build tree, then the patch applied.
set(QEL_CJSON_PATCHED ${CMAKE_CURRENT_BINARY_DIR}/lua-cjson-2.1.0 CACHE INTERNAL
  "the patched lua-cjson tree, whose tests/ tests/lua runs")
set(_cjson_patched)
set(_cjson_originals)
foreach(_file IN LISTS _cjson_files)
  list(APPEND _cjson_patched ${QEL_CJSON_PATCHED}/${_file})
  list(APPEND _cjson_originals ${QEL_CJSON_DIR}/${_file})
endforeach()
add_custom_command(
  OUTPUT ${_cjson_patched}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QEL_CJSON_PATCHED}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QEL_CJSON_PATCHED}/lua/cjson
          ${QEL_CJSON_PATCHED}/tests
  COMMAND ${CMAKE_COMMAND} -E copy ${_cjson_sources} strbuf.h fpconv.h ${QEL_CJSON_PATCHED}/
  COMMAND ${CMAKE_COMMAND} -E copy lua/cjson/util.lua ${QEL_CJSON_PATCHED}/lua/cjson/
  COMMAND ${CMAKE_COMMAND} -E copy_directory tests ${QEL_CJSON_PATCHED}/tests
  COMMAND ${PATCH_PROGRAM} --quiet --batch -p1 -d ${QEL_CJSON_PATCHED} -i ${QEL_CJSON_DIR}/qel.patch
  WORKING_DIRECTORY ${QEL_CJSON_DIR}
  DEPENDS ${QEL_CJSON_DIR}/qel.patch ${_cjson_originals}
  COMMENT "Applying qel.patch to lua-cjson 2.1.0"
  VERBATIM)
add_custom_target(qel_cjson_sources DEPENDS ${_cjson_patched})

# Compiled with Lua's headers and upstream's own warnings policy (none); the patch calls
# the budget glue that qel_lua carries.
set(_cjson_patched_sources)
foreach(_file IN LISTS _cjson_sources)
  list(APPEND _cjson_patched_sources ${QEL_CJSON_PATCHED}/${_file})
endforeach()
# As Lua itself, it is left out of ThreadSanitizer: one thread per process, and nesting
# a thousand deep overflows the sanitizer's stack records.
set(_cjson_options -w)
if(QEL_ZMQ_SANITIZE MATCHES "thread")
  list(APPEND _cjson_options -fno-sanitize=thread)
endif()
add_library(qel_cjson STATIC ${_cjson_patched_sources})
add_dependencies(qel_cjson qel_cjson_sources)
target_link_libraries(qel_cjson PUBLIC qel_lua)
target_compile_options(qel_cjson PRIVATE ${_cjson_options})
set_target_properties(qel_cjson PROPERTIES POSITION_INDEPENDENT_CODE ON)

# `cjson` as upstream builds it (its luaopen_cjson and luaopen_cjson_safe), for the
# patched-bin/lua interpreter to require. Lua symbols come from the interpreter.
add_library(qel_cjson_module MODULE ${_cjson_patched_sources})
add_dependencies(qel_cjson_module qel_cjson_sources qel_lua_sources)
target_include_directories(qel_cjson_module PRIVATE
  $<TARGET_PROPERTY:qel_lua,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(qel_cjson_module PRIVATE
  $<TARGET_PROPERTY:qel_lua,INTERFACE_COMPILE_DEFINITIONS>)
target_compile_options(qel_cjson_module PRIVATE ${_cjson_options})
set_target_properties(qel_cjson_module PROPERTIES OUTPUT_NAME cjson PREFIX ""
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/cjson-module)
# The interpreter the module is loaded into gives it Lua's symbols.
set_target_properties(qel_lua_patched_interpreter PROPERTIES ENABLE_EXPORTS ON)
