-- An example peer: a stand-in for a device service, for qecmd calls.
--
--   terminal 1:  build/kemlua --serve demo examples/peer_handler.lua
--   terminal 2:  build/kemlua -e 'print(kemluautils.qecmd("demo", "time",
--                  function(data) io.write(data) end, nil))'
--
-- Commands: "time" (the local time), "echo TEXT" (TEXT back), "count N"
-- (N deliveries "1\n" .. "N\n"), "fail" (ends with failure); anything else
-- is refused with an error, which the peer prints to stderr.

return function(command, send)
  if command == "time" then
    send(os.date("%Y-%m-%d %H:%M:%S\n"))
    return true
  end
  local text = command:match("^echo (.*)$")
  if text then
    send(text)
    return true
  end
  local n = tonumber(command:match("^count (%d+)$"))
  if n then
    for i = 1, n do send(i .. "\n") end
    return true
  end
  if command == "fail" then
    send("failing on request\n")
    return false
  end
  error("unknown command " .. string.format("%q", command))
end
