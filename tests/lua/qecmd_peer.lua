-- Handler of the peers that test_qecmd.lua starts with kemlua --serve.
-- Each command picks one way of answering.
local answers = {
  nul = function(send) send("a\0b"); send("\0\0"); return true end,
  empty = function(send) send(""); return true end,
  three = function(send) send("one"); send("two"); send("three"); return true end,
  fail = function(send) send("partial"); return false end,
  error = function() error("handler broke") end,
  die = function(send) send("first"); io.stdout:flush(); os.exit(3) end,
  country = function(send) send(kemluautils.country()) return true end,
  huge = function(send) send(("x"):rep(16 * 1024 * 1024 + 1)) return true end,
  big = function(send)
    local piece = string.rep("x", 65536)
    for _ = 1, 32 do send(piece) end
    return true
  end,
}

return function(command, send)
  local answer = answers[command]
  if answer then return answer(send) end
  send("echo:" .. command)
  return true
end
