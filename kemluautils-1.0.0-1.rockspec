-- LuaRocks package of libkemluautils: the Lua module, its two libraries and
-- kemlua, built from the release archive kemluautils-1.0.0.tar.gz that
-- ./build.sh dist makes in dist/, together with the source rock that holds
-- this file and the archive:
--   luarocks install dist/kemluautils-1.0.0-1.src.rock
-- (luarocks install on this file works in a folder that holds the archive.)
rockspec_format = "3.0"
package = "kemluautils"
version = "1.0.0-1"
source = {
  -- the release archive, read from the current folder (a .src.rock carries it)
  url = "file://kemluautils-1.0.0.tar.gz",
  dir = "kemluautils-1.0.0",
}
description = {
  summary = "Utility module of the device's Lua 5.1 scripts, with host platform services",
  detailed = [[
    require "libkemluautils" gives the kemluautils table: time conversion,
    remote command calls, Base64, SHA-256, split/join, directory listing,
    MAC address lists, sleep, device environment, localized texts and
    template replacement. The rock also installs kemlua, which runs device
    scripts on a workstation as the device runs them.
  ]],
  license = "MIT",
}
dependencies = {
  "lua >= 5.1, < 5.2",
}
-- LuaRocks looks for the Lua headers itself and names their folder
-- $(LUA_INCDIR), which the build gets with the other folders.
external_dependencies = {
  YAJL = { header = "yajl/yajl_parse.h", library = "yajl" },
}
build = {
  type = "cmake",
  variables = {
    CMAKE_BUILD_TYPE = "Release",
    CMAKE_INSTALL_PREFIX = "$(PREFIX)",
    CMAKE_INSTALL_BINDIR = "$(BINDIR)",
    KEM_LUAROCKS = "ON",  -- plain files: the module and its libraries in $(LIBDIR)
    KEM_LUA_CMOD_DIR = "$(LIBDIR)",
    KEM_LUA_LMOD_DIR = "$(LUADIR)",  -- the luacheck standard, kemluautils.luacheck
    KEM_PLATFORM_LIBDIR = "$(LIBDIR)",
    KEM_BUILD_TESTS = "OFF",
    LUA_INCDIR = "$(LUA_INCDIR)",
    LUA_LIBDIR = "$(LUA_LIBDIR)",
    YAJL_INCDIR = "$(YAJL_INCDIR)",
    YAJL_LIBDIR = "$(YAJL_LIBDIR)",
  },
}
