-- LuaRocks build of the module: luarocks make kemluautils-1.0.0-1.rockspec
rockspec_format = "3.0"
package = "kemluautils"
version = "1.0.0-1"
source = {
  url = "git+file:///kemluautils",  -- builds from the checkout with `luarocks make`
}
description = {
  summary = "Utility module of the device's Lua 5.1 scripts, with host platform services",
  detailed = [[
    require "libkemluautils" gives the kemluautils table: time conversion,
    remote command calls, Base64, SHA-256, split/join, directory listing,
    MAC address lists, sleep, device environment, localized texts and
    template replacement. Built with CMake; needs libyajl-dev and libssl-dev.
  ]],
  license = "Proprietary",
}
dependencies = {
  "lua >= 5.1, < 5.2",
}
external_dependencies = {
  YAJL = { header = "yajl/yajl_parse.h" },
}
build = {
  type = "cmake",
  variables = {
    CMAKE_BUILD_TYPE = "Release",
    CMAKE_INSTALL_PREFIX = "$(PREFIX)",
    KEM_LUA_CMOD_DIR = "$(LIBDIR)",
    KEM_PLATFORM_LIBDIR = "$(LIBDIR)",  -- the platform library beside the module
    KEM_BUILD_TESTS = "OFF",
    KEM_INSTALL_DEVELOPMENT = "OFF",
  },
}
