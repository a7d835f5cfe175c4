# Install step: the starter's .luarc.json in KEM_TOOLS_DIR/starter, naming the
# language server's definitions in KEM_TOOLS_DIR as the prefix of this install
# places them (cmake --install --prefix may differ from the configured prefix).
# KEM_TOOLS_DIR is relative to the prefix or absolute; the file is made under
# DESTDIR, which it does not name.
if(NOT IS_ABSOLUTE "${KEM_TOOLS_DIR}")
  set(KEM_TOOLS_DIR "${CMAKE_INSTALL_PREFIX}/${KEM_TOOLS_DIR}")
endif()
set(library "${KEM_TOOLS_DIR}/lua-language-server/kemluautils/library")
string(REPLACE "\\" "\\\\" library "${library}")
string(REPLACE "\"" "\\\"" library "${library}")
set(file "$ENV{DESTDIR}${KEM_TOOLS_DIR}/starter/.luarc.json")
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "{\n  \"runtime.version\": \"Lua 5.1\",\n  \"workspace.library\": [\"${library}\"]\n}\n")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
