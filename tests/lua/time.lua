-- The time functions as scripts see them (in UTC): results through
-- lua_Integer, which keeps the low 32 bits on the device, and the values
-- that stand for a failed conversion.
local t = require "testlib"
local bits = require("kemtest").integer_bits

t.rows({
  { "k.lua_unixtimefromcall('05.03.38 14:07', '1:30')", 2151416220 - (bits == 32 and 2 ^ 32 or 0) },
  { "k.lua_unixtimefromcall('05.03.24 14:07', 5)", 0 },  -- the text 5 is no duration
  { "k.lua_unixtime2iso8601(-86400)", "1969-12-31T00:00:00" },
  { "k.lua_unixtime2iso8601(bits > 32 and 2^62 or -2^31)", bits > 32 and "0001-01-01T00:00:00" or "1901-12-13T20:45:52" },
  { "k.lua_unixtimefromdays(-3)", 0 },
}, { bits = bits })

t.done()
