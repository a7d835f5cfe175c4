-- qecmd against real peers (kemlua --serve): deliveries whole and in order
-- with the value, false when an exchange fails, the callback's own
-- error, nested calls, and no endpoint left behind.
if not arg then  -- kemlua --serve loads this script as the peers' handler
  local answers = {
    several = function(send) send("a\0b") send("") send("\0\0") return true end,
    fail = function(send) send("partial") return false end,
    country = function(send) send(kemluautils.country()) return true end,
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

local function call(...) return t.collect(kemluautils.qecmd, ...) end
local value, seen = {}, {}
-- kemlua --serve in a folder that is a file (this script): the reason in the library's log line and its own.
local refused = "endpoint folder " .. handler .. ": not a directory"

t.rows({
  { "call('qp', 'several', value)", { true, "a\0b", value, "", value, "\0\0", value } },
  { "call(4711, 42, nil)", { true, "echo:42", "nil" } },
  { "call({}, 'qp', 'five', 'x')", { true, "echo:five", "x" } },
  { "call('qp', 'fail', 1)", { false, "partial", 1 } },
  -- the error value as raised, at the first delivery (seen is the value itself)
  { "{ pcall(k.qecmd, 'qp', 'several', function(data) seen[#seen + 1] = data error(seen) end, nil) }",
    { false, { "a\0b" } } },
  { "k.qecmd('qp', 'x', function() k.qecmd('qp', 'y', function() error('deep', 0) end, nil) end, nil)",
    { error = "deep" } },
  { "t.shell(t.program('kemlua') .. [[ -e \"kemluautils.qecmd('qp', 'x', function() os.exit(0) end, nil)\"]])", "" },
  { "call(4711, 'country', nil)", { true, "Austria", "nil" } },  -- the profile's answer
  { "t.shell('cat ' .. t.quote(dir .. '-4711.log'))", function(log)
    return log:find('request "country"\nkemlua %-%-serve:   delivery 1: 7 bytes\nkemlua %-%-serve:   ended: success')
  end },
  { "{ t.shell('KEM_IPC_DIR=' .. t.quote(handler) .. ' ' .. t.program('kemlua') .. ' --serve x ' .. t.quote(handler))"
    .. " }",
    { ("libkemluautils: %s\nkemlua --serve: cannot create endpoint 'x': %s\n"):format(refused, refused), 1 } },
  { "t.shell('ls -A ' .. t.quote(dir)):find('lua_qecmd_', 1, true)", nil },  -- no endpoint left
}, { call = call, value = value, seen = seen, t = t, handler = handler, dir = dir })

t.done()
