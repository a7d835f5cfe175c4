-- ctest-tz: UTC Europe/Berlin America/New_York
-- Time functions from a script: argument checks, results and fallbacks.
local t = require "testlib"
local kemtest = require "kemtest"
local k = kemluautils
local bits = kemtest.integer_bits -- the width of lua_Integer: 32 on the device

t.case("argument counts come before types, with the position in front", function()
  local a = t.args
  t.raises_all(k.lua_unixtimefromdays, "pUnixtimefromdays() requires 1 arguments", a(), a("x", 2))
  t.raises_all(k.lua_unixtimefromcall, "pUnixtimefromcall() requires 2 arguments",
    a("05.03.24 14:07"), a("a", "b", nil))
  t.raises_all(k.lua_unixtime2iso8601, "pUnixtime2iso8601() requires 1 arguments", a())
end)

t.case("integers must be integral numbers, texts strings or numbers", function()
  local a, bad = t.args, {}
  for i, v in ipairs({ 1.5, "5", true, {}, 0 / 0, 1 / 0, -1 / 0, 2 ^ (bits - 1) }) do bad[i] = a(v) end
  bad[#bad + 1] = a(nil)
  t.raises_all(k.lua_unixtimefromdays, "pUnixtimefromdays() requires int for argument #1", unpack(bad))
  t.raises_all(k.lua_unixtime2iso8601, "pUnixtime2iso8601() requires int for argument #1", unpack(bad))
  t.raises_all(k.lua_unixtimefromcall, "pUnixtimefromcall() requires string for argument #1", a({}, ""))
  t.raises_all(k.lua_unixtimefromcall, "pUnixtimefromcall() requires string for argument #2",
    a("05.03.24 14:07", nil))
end)

t.case("call dates become local times, durations are added", function()
  local utc = 1709647620 -- 2024-03-05 14:07 UTC
  local offset = ({ UTC = 0, ["Europe/Berlin"] = -3600, ["America/New_York"] = 5 * 3600 })[os.getenv("TZ")]
  t.eq(k.lua_unixtimefromcall("05.03.24 14:07", ""), utc + offset)
  t.eq(k.lua_unixtimefromcall("5.3.24 14:07", "1:30"), utc + offset + 5400)
  t.eq(k.lua_unixtimefromcall("05.03.24 14:07", "0:90"), utc + offset + 5400)
  t.eq(k.lua_unixtime2iso8601(k.lua_unixtimefromcall("05.03.24 14:07", "")),
    os.date("!%Y-%m-%dT%H:%M:%S", utc + offset))
  -- past 2038 a 64-bit time_t goes on; a 32-bit lua_Integer keeps its low bits
  local after2038 = 2151416220 + offset -- 2038-03-05 15:37 UTC
  t.eq(k.lua_unixtimefromcall("05.03.38 14:07", "1:30"), bits == 32 and after2038 - 2 ^ 32 or after2038)
end)

t.case("failed conversions give 0 and the fallback text", function()
  t.eq(k.lua_unixtimefromcall("05.03.2024 14:07", ""), 0)
  t.eq(k.lua_unixtimefromcall("05.03.24 14:07", 5), 0) -- "5" is no duration
  t.eq(k.lua_unixtimefromcall(20240305, ""), 0)
  if bits > 32 then t.eq(k.lua_unixtime2iso8601(2 ^ 62), "0001-01-01T00:00:00") end -- no calendar holds it
  t.eq(k.lua_unixtime2iso8601(0), "1970-01-01T00:00:00")
  t.eq(k.lua_unixtime2iso8601(-86400), "1969-12-31T00:00:00")
  for _, v in ipairs({ -2 ^ (bits - 1), 1e3 }) do t.eq(type(k.lua_unixtime2iso8601(v)), "string") end
end)

t.case("day counts give local midnights", function()
  t.eq(k.lua_unixtimefromdays(0), 0)
  t.eq(k.lua_unixtimefromdays(-3), 0)
  local days, now
  repeat
    now = os.time()
    days = k.lua_unixtimefromdays(2)
  until os.time() == now
  local d = os.date("*t", now)
  t.eq(days, now - (d.hour * 3600 + d.min * 60 + d.sec) - 2 * 86400)
  t.eq(os.date("%H:%M:%S", days + 2 * 86400), "00:00:00")
end)

t.done()
