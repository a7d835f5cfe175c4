-- qecmd against real peers (kemlua --serve): deliveries whole and in order
-- with the value, false when an exchange fails, the callback's own
-- error, nested calls, no endpoint left behind (a client killed during a
-- call included), a peer stopped by SIGTERM inside a handler that never
-- returns, and peers of two users sharing a folder.
if not arg then  -- kemlua --serve loads this script as the peers' handler
  local answers = {
    several = function(send) send("a\0b") send("") send("\0\0") return true end,
    fail = function(send) send("partial") return false end,
    country = function(send) send(kemluautils.country()) return true end,
    spin = function() while true do end end,
    big = function(send) for _ = 1, 8 do send(("b"):rep(1000000)) end return true end,  -- past the socket's buffer
    grow = function(send) for i = 2, 5 do send(("g"):rep(10 ^ i)) end return true end,
  }
  return function(command, send)
    if answers[command] then return answers[command](send) end
    send("echo:" .. command)
    return true
  end
end

local t = require "testlib"
local dir, handler = os.getenv("KEM_IPC_DIR"), arg[0]
t.peer("qp", handler)
t.peer("4711", handler, "-v --profile " .. t.quote(t.source .. "/examples/profile-demo-at.json"))  -- logs each step
local spinner = t.peer("spin", handler, "-v")
local K = t.program("kemlua")

-- A client killed in a call to a handler that never returns; then SIGTERM to
-- that peer: it stops, and no socket file is left, neither the client's nor its own.
local stop = ([[KEM_IPC_TIMEOUT_MS=500 %s -e "kemluautils.qecmd('spin', 'spin', print, nil)" & c=$!
for i in $(seq 300); do grep -q 'request "spin"' %s && break; sleep 0.05; done
kill -KILL $c; kill -TERM %s
for i in $(seq 100); do kill -0 %s 2>/dev/null || break; sleep 0.1; done
kill -0 %s 2>/dev/null && echo running; ls -A %s | grep -v '^qp$' | grep -v '^4711$']]):format(K,
  t.quote(dir .. "-spin.log"), spinner, spinner, spinner, t.quote(dir))

-- Users 0 and 65534 (setpriv), trusting each other, share a sticky folder of root and group 65534:
-- each serves the other; without the trust the client refuses the server.
local shared, other = dir .. "-shared", "setpriv --reuid 65534 --regid 65534 --clear-groups "
local function across(server, client, trust)
  local env = ("KEM_IPC_DIR=%s KEM_IPC_TRUST_UIDS=%s "):format(t.quote(shared), trust)
  return (t.shell(([[(mkdir -p %s && chown 0:65534 %s && chmod 1770 %s
%s%s --serve x %s 2>/dev/null & s=$!
for i in $(seq 300); do [ -S %s/x ] && break; sleep 0.05; done
%s%s -e "print(kemluautils.qecmd('x', 'hi', function(d) io.write(d) end, nil))"; kill $s; wait $s)]]):format(t.quote(shared),
    t.quote(shared), t.quote(shared), env .. server, K, t.quote(handler), t.quote(shared), env .. client, K)))
end
local root = t.shell("id -u") == "0\n"
local why = not root and "setpriv needs root" or select(2, t.shell(other .. K .. " -e ''")) ~= 0
  and "user 65534 cannot run kemlua from this build folder" or nil
if why then print("skipped: users sharing a folder (" .. why .. ")") end
local sharing = not why

local function call(...) return t.collect(kemluautils.qecmd, ...) end
local function nest()  -- an inner call in each delivery of an outer one: each delivery's size + the inner bytes
  local sizes = {}
  local ok = kemluautils.qecmd('qp', 'grow', function(d)
    local n = 0
    kemluautils.qecmd(4711, 'several', function(e) n = n + #e end, nil)
    sizes[#sizes + 1] = #d .. '+' .. n
  end, nil)
  return ok, table.concat(sizes, ' ')
end
local value, seen = {}, {}
-- kemlua --serve in a folder that is a file (this script): the reason in the library's log line and its own.
local refused = "endpoint folder " .. handler .. ": not a directory"

t.rows({
  { "call('qp', 'several', value)", { true, "a\0b", value, "", value, "\0\0", value } },
  { "call(4711, 42, nil)", { true, "echo:42", "nil" } },
  { "call('qp', 'big', nil)", function(got)  -- 8 MB, more than the socket holds: the peer waits for the reader
    local n = 0
    for i = 2, #got, 2 do n = n + #got[i] end
    return got[1] == true and #got == 17 and n == 8e6
  end },
  { "call({}, 'qp', 'five', 'x')", { true, "echo:five", "x" } },
  { "call('qp', 'fail', 1)", { false, "partial", 1 } },
  -- the error value as raised, at the first delivery (seen is the value itself)
  { "{ pcall(k.qecmd, 'qp', 'several', function(data) seen[#seen + 1] = data error(seen) end, nil) }",
    { false, { "a\0b" } } },
  { "k.qecmd('qp', 'x', function() k.qecmd('qp', 'y', function() error('deep', 0) end, nil) end, nil)",
    { error = "deep" } },
  { "{ nest() }", { true, "100+5 1000+5 10000+5 100000+5" } },
  { "t.shell(t.program('kemlua') .. [[ -e \"kemluautils.qecmd('qp', 'x', function() os.exit(0) end, nil)\"]])", "" },
  { "call(4711, 'country', nil)", { true, "Austria", "nil" } },  -- the profile's answer
  { "t.shell('cat ' .. t.quote(dir .. '-4711.log'))", function(log)
    return log:find('request "country"\nkemlua %-%-serve:   delivery 1: 7 bytes\nkemlua %-%-serve:   ended: success')
  end },
  { "{ t.shell('KEM_IPC_DIR=' .. t.quote(handler) .. ' ' .. t.program('kemlua') .. ' --serve x ' .. t.quote(handler))"
    .. " }",
    { ("libkemluautils: %s\nkemlua --serve: cannot create endpoint 'x': %s\n"):format(refused, refused), 1 } },
  { "t.shell('KEM_IPC_DIR=' .. t.quote(handler) .. ' ' .. t.program('kemlua')"
    .. " .. [[ -e \"print(pcall(kemluautils.qecmd, 'x', 'y', print, nil))\"]])",
    ("libkemluautils: %s\nfalse\tmemory error\n"):format(refused) },  -- the same reason, for qecmd
  { "t.shell('ls -A ' .. t.quote(dir)):find('lua_qecmd_', 1, true)", nil },  -- no endpoint left
  { "t.shell(stop)", "" },
  sharing and { "{ across('', other, \"'1000, 65534'\"), across(other, '', 65534) }", { "echo:hitrue\n", "echo:hitrue\n" } } or nil,
  sharing and { "across(other, '', 1000)", ("libkemluautils: endpoint 'x': served by uid 65534, not a trusted user\nfalse\n") } or nil,
  sharing and { "across('', other, 1000)", "false\n" } or nil,  -- the server refuses the client
}, { call = call, nest = nest, value = value, seen = seen, t = t, handler = handler, dir = dir, stop = stop, across = across,
  other = other })

t.done()
