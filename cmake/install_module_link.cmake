# Install step: the Lua module KEM_LINK_DIR/libkemluautils.so as a relative
# symbolic link to the library KEM_LINK_TARGET. Both are installed folders,
# relative to the prefix of this install or absolute; the link is computed
# from where they actually are, and made under DESTDIR.
foreach(var KEM_LINK_DIR KEM_LINK_TARGET)
  if(NOT IS_ABSOLUTE "${${var}}")
    set(${var} "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()
file(RELATIVE_PATH target "${KEM_LINK_DIR}" "${KEM_LINK_TARGET}")
set(link "$ENV{DESTDIR}${KEM_LINK_DIR}/libkemluautils.so")
message(STATUS "Installing: ${link} -> ${target}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${KEM_LINK_DIR}")
file(CREATE_LINK "${target}" "${link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
