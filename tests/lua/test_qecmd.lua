-- qecmd against real peer processes (kemlua --serve) started and stopped
-- here. The script runs itself again with KEM_IPC_DIR set to a fresh
-- temporary folder, and afterwards checks that no socket was left in it.
local t = require "testlib"
local kemlua = t.program("kemlua")
local src = assert(os.getenv("KEM_SOURCE_DIR"), "KEM_SOURCE_DIR is not set")
local dir = os.getenv("KEM_QECMD_TEST_DIR")

local function sh(cmd) return os.execute(cmd) == 0 end
local function listing(folder)
  local p = io.popen("ls -A '" .. folder .. "'")
  local text = p:read("*a")
  p:close()
  return text
end

if not dir then
  local p = io.popen("mktemp -d")
  dir = p:read("*l")
  p:close()
  local ok = sh(("KEM_QECMD_TEST_DIR='%s' KEM_IPC_DIR='%s/ipc' %s '%s'")
    :format(dir, dir, kemlua, arg[0]))
  local left = listing(dir .. "/ipc")
  -- peers a failed run did not stop
  sh("for p in '" .. dir .. "'/*.pid; do [ -f \"$p\" ] && kill $(cat \"$p\") 2>/dev/null; done; true")
  sh("rm -rf '" .. dir .. "'")
  if left ~= "" then
    print("FAIL sockets left in the endpoint folder: " .. left)
    os.exit(1)
  end
  os.exit(ok and 0 or 1)
end

local kemtest = require "kemtest"
local k = kemluautils
local ipc = dir .. "/ipc"
local handler = src .. "/tests/lua/qecmd_peer.lua"

local function exists(name) return sh("test -S '" .. ipc .. "/" .. name .. "'") end

-- Starts kemlua --serve name (options after it, if given); returns its
-- process id once it listens.
local function start_peer(name, options)
  local pidfile = dir .. "/" .. name .. ".pid"
  sh(("%s --serve '%s' %s '%s' 2>>'%s/peer.log' & echo $! > '%s'")
    :format(kemlua, name, options or "", handler, dir, pidfile))
  local f = assert(io.open(pidfile))
  local pid = f:read("*l")
  f:close()
  assert(t.wait_until(function() return exists(name) end), "peer " .. name .. " did not start")
  return pid
end

-- Stops a peer and waits until it is gone with its socket.
local function stop_peer(pid, name)
  sh("kill " .. pid .. " 2>/dev/null")
  assert(t.wait_until(function() return not exists(name) end), "peer " .. name .. " did not stop")
  os.remove(dir .. "/" .. name .. ".pid")
end

local function peer_log()
  local f = assert(io.open(dir .. "/peer.log"))
  local text = f:read("*a")
  f:close()
  return text
end

-- Calls qecmd; returns its result and the list of (data, value) deliveries.
local function call(dest, command, value)
  local got = {}
  local ok = k.qecmd(dest, command, function(data, v)
    got[#got + 1] = data
    got[#got + 1] = v == nil and "<nil>" or v
  end, value)
  return ok, got
end

local function no_endpoint_left()
  t.ok(not listing(ipc):find("lua_qecmd_", 1, true), "no lua_qecmd_ endpoint left")
end

local peer = start_peer("qp")

t.case("deliveries reach the callback whole and in order, with the value", function()
  t.eq({ call("qp", "nul", "v") }, { true, { "a\0b", "v", "\0\0", "v" } })
  t.eq({ call("qp", "empty", nil) }, { true, { "", "<nil>" } })
  t.eq({ call("qp", "three", 7) }, { true, { "one", 7, "two", 7, "three", 7 } })
  local value = {}
  local ok, got = call("qp", "hello", value)
  t.eq(ok, true)
  t.ok(got[2] == value, "the very same table is passed through")
  t.eq(got[1], "echo:hello")
  local ok2, big = call("qp", "big", false)
  t.eq(ok2, true)
  t.eq(#big, 64)
  local piece = string.rep("x", 65536)
  for i = 1, 63, 2 do t.ok(big[i] == piece and big[i + 1] == false, "64 KiB delivery " .. i) end
  no_endpoint_left()
end)

t.case("failures end with false: reported, refused, missing destination", function()
  t.eq({ call("qp", "fail", 1) }, { false, { "partial", 1 } })
  t.eq({ call("qp", "error", 1) }, { false, {} })
  t.eq({ call("qp", "huge", 1) }, { false, {} })
  t.ok(peer_log():find("send: piece of 16777217 bytes exceeds the limit of 16777216 bytes", 1, true),
    "the peer names both sizes")
  t.eq({ call("nobody", "x", 1) }, { false, {} })
  t.eq({ call("a/b", "x", 1) }, { false, {} })
  t.eq({ call("", "x", 1) }, { false, {} })
  -- the peer still answers after its handler raised
  t.eq({ call("qp", "three", nil) }, { true, { "one", "<nil>", "two", "<nil>", "three", "<nil>" } })
  no_endpoint_left()
end)

t.case("numbers pass as destination and command; a fifth argument is ignored", function()
  local numbered = start_peer("4711")
  local ok, got = call(4711, 42, "v")
  stop_peer(numbered, "4711")
  t.eq({ ok, got }, { true, { "echo:42", "v" } })
  local seen
  t.eq(k.qecmd({}, "qp", "five", function(data, v) seen = { data, v } end, "x"), true)
  t.eq(seen, { "echo:five", "x" })
end)

t.case("argument errors, each released before it is raised", function()
  local cb = function() end
  local a, q = t.args, "lua_qecmd() "
  t.raises_all(k.qecmd, q .. "requires 4 arguments", a("qp", "x", cb), a())
  t.raises_all(k.qecmd, q .. "third param must be a function (callback)", a("qp", "x", "no function", 1))
  t.raises_all(k.qecmd, q .. "second param must be string (command)", a("qp", {}, cb, 1), a("qp", nil, cb, nil))
  t.raises_all(k.qecmd, q .. "first param must be string (destination)", a({}, "x", cb, {}), a(true, "x", cb, 1))
  no_endpoint_left()
end)

t.case("an error in the callback ends the call and reaches the script unchanged", function()
  local e = { "mine" }
  local calls = 0
  local ok, err = pcall(k.qecmd, "qp", "three", function() calls = calls + 1; error(e) end, 1)
  t.eq(ok, false)
  t.ok(err == e, "the original error value")
  t.eq(calls, 1) -- no delivery after the error
  t.raises_raw(function()
    return k.qecmd("qp", "x", function(data) error("bad " .. data, 0) end, nil)
  end, "bad echo:x")
  t.eq({ call("qp", "three", 2) }, { true, { "one", 2, "two", 2, "three", 2 } })
  no_endpoint_left()
end)

t.case("a peer that dies in the middle of its answer gives false", function()
  local dying = start_peer("dying")
  local ok, got = call("dying", "die", 5)
  t.eq({ ok, got }, { false, { "first", 5 } })
  stop_peer(dying, "dying")  -- its os.exit removed its socket
  no_endpoint_left()
end)

t.case("os.exit in a callback leaves no socket behind", function()
  t.ok(sh(("%s -e \"kemluautils.qecmd('qp', 'x', function() os.exit(0) end, nil)\""):format(kemlua)))
  no_endpoint_left()
end)

t.case("kemlua --serve names the folder or the name it cannot use", function()
  local file = dir .. "/not-a-folder"
  io.open(file, "w"):close()
  for _, row in ipairs {
    { file, "x", "endpoint folder " .. file .. ": not a directory" },
    { ipc, "a/b", "endpoint name 'a/b': not a valid name (letters, digits, '_', '-' and '.', not starting with '.')" },
  } do
    local folder, name, reason = row[1], row[2], row[3]
    local p = io.popen(("KEM_IPC_DIR='%s' %s --serve '%s' '%s' 2>&1; echo status=$?"):format(folder, kemlua, name, handler))
    local out = p:read("*a")
    p:close()
    t.eq(out, "libkemluautils: " .. reason .. "\nkemlua --serve: cannot create endpoint '" .. name .. "': " .. reason ..
      "\nstatus=1\n")
  end
  os.remove(file)
end)

t.case("--serve -v --profile: the profile's answers, and a log line per request, delivery and end", function()
  local profile = src .. "/examples/profile-demo-at.json"
  local logged = start_peer("verbose", "-v --profile '" .. profile .. "'")
  local ok, got = call("verbose", "country", nil)
  stop_peer(logged, "verbose")
  t.eq({ ok, got }, { true, { "Austria", "<nil>" } })
  t.ok(peer_log():find('kemlua --serve: request "country"\nkemlua --serve:   delivery 1: 7 bytes\n' ..
    "kemlua --serve:   ended: success (deliveries: 1, bytes: 7)\n", 1, true), peer_log())
end)

t.case("a nested qecmd shares the endpoint name and runs to its end", function()
  local inner = {}
  local outer_ok = k.qecmd("qp", "nul", function(data)
    inner[#inner + 1] = data
    local r = k.qecmd("qp", "inner", function(d) inner[#inner + 1] = d end, nil)
    inner[#inner + 1] = r
  end, nil)
  t.eq(outer_ok, true)
  t.eq(inner, { "a\0b", "echo:inner", true, "\0\0", "echo:inner", true })
  -- an error inside the inner callback unwinds both calls
  t.raises_raw(function()
    return k.qecmd("qp", "x", function()
      k.qecmd("qp", "y", function() error("deep", 0) end, nil)
    end, nil)
  end, "deep")
  no_endpoint_left()
end)

t.case("allocation failures: memory error or false, and nothing held", function()
  local outcomes = {}
  for n = 1, 12 do
    kemtest.fail_at(n, false)
    local ok, res = pcall(call, "qp", "three", n)
    local failures = kemtest.failures()
    kemtest.fail_off()
    if failures == 0 then
      t.eq({ ok, res }, { true, true })
      break
    end
    outcomes[#outcomes + 1] = ok and tostring(res) or res:match("memory error") or res
  end
  -- record, endpoint handle, listener; then the connection and its buffer
  -- (the exchange cannot start or fails); then each of three delivery buffers
  t.eq(outcomes, { "memory error", "memory error", "memory error", "false", "false",
    "memory error", "memory error", "memory error" })
  no_endpoint_left()
end)

stop_peer(peer, "qp")
t.done()
