-- The time functions as scripts see them (in UTC): the values that stand for
-- a failed conversion (times beyond 32 bits: numbers.lua).
local t = require "testlib"

t.rows({
  { "k.lua_unixtimefromcall('05.03.24 14:07', 5)", 0 },  -- the text 5 is no duration
  { "k.lua_unixtime2iso8601(-86400)", "1969-12-31T00:00:00" },
  { "k.lua_unixtimefromdays(-3)", 0 },
})

t.done()
