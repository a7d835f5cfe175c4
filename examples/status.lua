-- Device script code kept in a module, so that busted can test its functions
-- on a workstation (examples/test/status_test.lua; docs/tools.md). A script
-- takes it with dofile("status.lua"), or require "status" from its folder.
local k = kemluautils
local status = {}

-- The device's help page on a topic, in the device's language; nil when the
-- device has no help URL.
function status.help_link(topic)
  local base = k.predefinedurlget("help")
  if not base then return nil end
  local escape = kiv.RFC1630_Escape
  return ("%s?topic=%s&lang=%s"):format(base, escape(topic, true), escape(k.language(), true))
end

-- The minutes a call lasted, from its start "DD.MM.YY hh:mm" in local time
-- and its duration "h:m"; nil for a malformed text. A difference of two
-- times is right on the device too, where a time after 2038 does not fit.
function status.call_minutes(start, duration)
  local from, to = k.lua_unixtimefromcall(start, ""), k.lua_unixtimefromcall(start, duration)
  if from == 0 or to == 0 then return nil end
  return (to - from) / 60
end

return status
