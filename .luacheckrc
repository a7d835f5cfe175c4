-- luacheck's settings for the project's Lua (tests/tools/run lint runs it over
-- examples/, tests/lua/ and the Lua blocks of README.md and docs/*.md): device
-- scripts see the standard that tools/luacheck/kemluautils/luacheck.lua ships.
stds.kemluautils = require "tools.luacheck.kemluautils.luacheck"
std = "lua51+kemluautils"

-- The test scripts run in the same interpreters, but some on purpose reach
-- past what a device script does.
files["examples/test"] = { std = "+busted" }  -- busted tests of the examples
files["tests/lua"] = { max_line_length = 140 }  -- rows of a table stay on one line
files["tests/lua/docs.lua"] = { globals = { "print" } }  -- records what a documentation block prints
files["tests/lua/kemlua.lua"] = { read_globals = { "jit" } }  -- tells LuaJIT from Lua 5.1
