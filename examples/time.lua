-- Time conversion: a call log as the device keeps it (local start time and
-- duration as texts), turned into Unix times, filtered to the last week and
-- printed in UTC.
--
--   build/kemlua examples/time.lua          (local time follows TZ)
local k = kemluautils

-- Each entry: the call's start "DD.MM.YY hh:mm" in local time, its duration "h:m".
local calls = {
  { number = "+43 1 2345678", start = "05.03.24 14:07", duration = "1:30" },
  { number = "+49 30 987654", start = "6.3.24 9:15", duration = "0:04" },
  { number = "+39 06 11223", start = "06.03.2024 10:00", duration = "0:10" },  -- bad year
}
-- Two more from today and yesterday, so that the filter below has work.
local today = os.date("%d.%m.%y %H:%M")
local yesterday = os.date("%d.%m.%y %H:%M", os.time() - 86400)
table.insert(calls, { number = "+43 662 5566", start = today, duration = "" })
table.insert(calls, { number = "+41 44 7788", start = yesterday, duration = "0:90" })

-- Local midnight seven days ago: the start of the "last week".
local week_start = k.lua_unixtimefromdays(7)
print("the last week began at " .. k.lua_unixtime2iso8601(week_start) .. " UTC")

for _, call in ipairs(calls) do
  local started = k.lua_unixtimefromcall(call.start, "")
  local ended = k.lua_unixtimefromcall(call.start, call.duration)
  if started == 0 then
    -- 0 is how the functions say "malformed"; there is no error to catch
    print(("%-14s  %q is no date"):format(call.number, call.start))
  else
    local recent = started >= week_start and "this week" or "older"
    print(("%-14s  %s .. %s  (%d s, %s)"):format(call.number, k.lua_unixtime2iso8601(started),
      k.lua_unixtime2iso8601(ended), ended - started, recent))
  end
end
