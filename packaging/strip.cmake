# Run by CPack on the staged package tree before it is packed: strips the
# program as Debian does, also of the compiler's .comment and .note sections.
find_program(_strip NAMES strip REQUIRED)
file(GLOB_RECURSE _files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(_file ${_files})
  if(_file MATCHES "/lib/varnok/varnok$" AND NOT IS_SYMLINK "${_file}")
    message(STATUS "Stripping: ${_file}")
    execute_process(COMMAND ${_strip} --remove-section=.comment --remove-section=.note "${_file}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
