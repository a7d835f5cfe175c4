-- Remote commands with qecmd: a script asks a device service for data and
-- collects the answer, piece by piece, in a callback. On a workstation the
-- service is a stand-in that this script starts itself:
-- kemlua --serve with examples/peer_handler.lua.
--
--   build/kemlua examples/qecmd.lua
local k = kemluautils

-- Start the peer in the background under a name of our own, with the kemlua
-- that runs this script (through the emulator named in KEM_EMULATOR, when
-- this kemlua was built for another machine).
local kemlua = arg and arg[-1] or "kemlua"
local launcher = os.getenv("KEM_EMULATOR") or ""
local here = (arg and arg[0] or ""):match("^(.*)/[^/]*$") or "."
local pidfile = os.tmpname()  -- a unique name, for the pid and the service
local service = "example_service_" .. pidfile:match("([%w_]+)$")
os.execute(("%s%q --serve %s %q >/dev/null 2>&1 & echo $! > %q")
  :format(launcher, kemlua, service, here .. "/peer_handler.lua", pidfile))
local f = io.open(pidfile)
local peer = f and f:read("*l")
if f then f:close() end
os.remove(pidfile)

-- Sends a command; gives the success flag and the deliveries in a table.
local function ask(command)
  local answer = {}
  local ok = k.qecmd(service, command, function(data, into) into[#into + 1] = data end, answer)
  return ok, answer
end

local function main()
  -- The peer needs a moment to listen; until then qecmd gives false.
  local ready = false
  for _ = 1, 300 do  -- a deadline against a hang: slow machines and emulators take longer
    ready = ask("echo ready")
    if ready then break end
    os.execute("sleep 0.1")
  end
  assert(ready, "the peer did not start")

  local ok, answer = ask("count 3")
  print(("'count 3': %s, %d deliveries: %s"):format(tostring(ok), #answer,
    (table.concat(answer):gsub("\n", " "))))
  ok, answer = ask("echo hello, device")
  print("'echo hello, device':", ok, answer[1])

  -- Failures are results, not errors: the peer refused, or nobody listens.
  print("'fail':", (ask("fail")))
  print("an unknown service:", (k.qecmd(service .. "_gone", "time", print, nil)))

  -- An error in the callback ends the exchange and reaches the script.
  print("a callback that raises:",
    pcall(k.qecmd, service, "count 3", function() error("enough", 0) end, nil))
end

local ok, err = pcall(main)
if peer then os.execute("kill " .. peer) end  -- stop the peer, whatever happened
assert(ok, err)
