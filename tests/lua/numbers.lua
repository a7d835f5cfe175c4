-- Numbers across the library's boundary at their edges, in the three ways a run can hold them:
-- a 64-bit lua_Integer (wide), a 32-bit one (narrow: armhf), or device numbers on any host.
-- With "sweep", prints the integers the library pushes for many edge values instead (no
-- harness), so that two builds can be compared line by line.
local k, json = kemluautils, require "kemlua.json"
if ... == "sweep" then
  for e = 24, 62 do
    for _, d in ipairs { -5, -1, 0, 1, 5 } do
      local v = ("%.0f"):format(2 ^ e + d)
      print(v, unpack(json.decode("[" .. v .. ", -" .. v .. "]")))
    end
  end
  for year = 0, 99 do
    for _, duration in ipairs { "0:00", "23:59", "99999:59", "4294967295:0" } do
      local date = ("05.03.%02d 14:07"):format(year)
      print(date, duration, k.lua_unixtimefromcall(date, duration))
    end
  end
  return
end

local t = require "testlib"
local way = t.device and "device" or require("kemtest").integer_bits > 32 and "wide" or "narrow"
local float01 = 13421773 / 2 ^ 27  -- the float nearest to 0.1
local ints = { 2147483647, 2147483648, -2147483649, 4294967301, 16777217 }
local floats = { 0.1, 16777217.5, 1e39, -1e39, 3.5, 2 ^ 128 - 2 ^ 103 - 2 ^ 75, 2 ^ 128 - 2 ^ 103 }  -- around the
local float_max = 2 ^ 128 - 2 ^ 104                                                    -- float range's end
local iso = t.err "pUnixtime2iso8601() requires int for argument #1"

-- expression, then its value in the wide, device and narrow ways (narrow: as device when absent)
local rows = {
  { "json.decode('[2147483647, 2147483648, -2147483649, 4294967301, 16777217]')",
    ints, { 2147483647, -2 ^ 31, 2 ^ 31 - 1, 5, 16777217 } },
  { "json.decode('[0.1, 16777217.5, 1e39, -1e39, 3.5, 3.4028235677973362e38, 3.4028235677973366e38]')", floats,
    { float01, 16777218, 1 / 0, -1 / 0, 3.5, float_max, 1 / 0 }, floats },
  { "json.encode({ 2^31 - 1, 2^31, -2^31 - 1, 2^32 + 5, 0.1, { [2^32 + 1] = true } })",
    '[2147483647,2147483648,-2147483649,4294967301,0.1,{"4294967297":true}]',
    '[2147483647,-2147483648,2147483647,5,0.1,{"1":true}]',
    '[2147483647,2147483648,-2147483649,4294967301,0.1,{"4294967297":true}]' },
  { "k.lua_unixtimefromcall('05.03.38 14:07', '1:30')", 2151416220, -2143551076 },
  { "k.lua_unixtime2iso8601(2^32 + 5)", "2106-02-07T06:28:21", "1970-01-01T00:00:05", iso },
  { "k.lua_unixtime2iso8601(2^62)", "0001-01-01T00:00:00", "1970-01-01T00:00:00", iso },
  { "k.lua_unixtime2iso8601(-2^63)", "0001-01-01T00:00:00", "1970-01-01T00:00:00", iso },
  { "k.lua_unixtime2iso8601(-2^31)", "1901-12-13T20:45:52", "1901-12-13T20:45:52" },
  { "k.lua_unixtimefromdays(2^32 + 1) == k.lua_unixtimefromdays(1)", true, true,
    t.err "pUnixtimefromdays() requires int for argument #1" },
  { "k.sha256('abc', 2^32 + 1)", t.err "luautils_sha256() invalid second argument", k.sha256("a"),
    t.err "luautils_sha256() second argument must be a number" },
  { "k.sleep(2^32)", t.err "luautils_sleep() value is out of range for argument #1", 0,
    t.err "luautils_sleep() requires int for argument #1" },
  { "k.getLocalizedText(2^32 + 1) == k.getLocalizedText(1)", false, true, false },
}
for _, row in ipairs(rows) do
  local want = { wide = row[2], device = row[3], narrow = row[4] == nil and row[3] or row[4] }
  row[2], row[3], row[4] = want[way], nil, nil
end
t.rows(rows, { json = json })

t.done()
