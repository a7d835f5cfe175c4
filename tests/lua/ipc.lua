-- qecmd against real peers (kemlua --serve): deliveries whole and in order
-- with the value, false for every way an exchange fails, the callback's own
-- error, nested calls, and no endpoint left behind.
local t = require "testlib"
local dir = os.getenv("KEM_IPC_DIR")
local handler = t.file([[
local answers = {
  nul = function(send) send("a\0b") send("\0\0") return true end,
  empty = function(send) send("") return true end,
  three = function(send) send("one") send("two") send("three") return true end,
  fail = function(send) send("partial") return false end,
  error = function() error("handler broke") end,
  huge = function(send) send(("x"):rep(16 * 1024 * 1024 + 1)) return true end,
  die = function(send) send("first") io.stdout:flush() os.exit(3) end,
  country = function(send) send(kemluautils.country()) return true end,
}
return function(command, send)
  if answers[command] then return answers[command](send) end
  send("echo:" .. command)
  return true
end]])
t.peer("qp", handler)
t.peer("dying", handler)
t.peer("4711", handler, "-v --profile " .. t.quote(t.source .. "/examples/profile-demo-at.json"))  -- logs each step

-- qecmd(...) with a callback that collects put before the last argument: the
-- result, then each delivery and value.
local function call(...)
  local got, n, args = { false }, select("#", ...), { ... }
  args[n], args[n + 1] = function(data, v) got[#got + 1] = data got[#got + 1] = v == nil and "nil" or v end, args[n]
  got[1] = kemluautils.qecmd(unpack(args, 1, n + 1))
  return got
end
local value, seen = {}, {}
-- A qecmd inside the callback of another: every delivery of both, in order.
local function nested()
  local got = { false }
  got[1] = kemluautils.qecmd("qp", "nul", function(data)
    got[#got + 1] = data
    local ok = kemluautils.qecmd("qp", "inner", function(d) got[#got + 1] = d end, nil)
    got[#got + 1] = ok
  end, nil)
  return got
end
-- kemlua --serve NAME (in the folder given): its output and status, which the reason is in twice.
local function refused(folder, name, reason)
  local out, status = t.shell(("KEM_IPC_DIR=%s %s --serve %s %s"):format(t.quote(folder), t.program("kemlua"),
    t.quote(name), t.quote(handler)))
  return status == 1 and out == ("libkemluautils: %s\nkemlua --serve: cannot create endpoint '%s': %s\n"):format(reason,
    name, reason)
end

t.rows({
  { "call('qp', 'nul', 'v')", { true, "a\0b", "v", "\0\0", "v" } },
  { "call('qp', 'empty', nil)", { true, "", "nil" } },
  { "call('qp', 'three', value)", { true, "one", value, "two", value, "three", value } },
  { "call(4711, 42, 1)", { true, "echo:42", 1 } },
  { "call({}, 'qp', 'five', 'x')", { true, "echo:five", "x" } },
  { "call('qp', 'fail', 1)", { false, "partial", 1 } },
  { "call('qp', 'error', 1)", { false } }, { "call('qp', 'huge', 1)", { false } },
  { "call('nobody', 'x', 1)", { false } }, { "call('a/b', 'x', 1)", { false } },
  { "call('dying', 'die', 5)", { false, "first", 5 } },
  -- the error value as raised, at the first delivery (seen is the value itself)
  { "{ pcall(k.qecmd, 'qp', 'three', function(data) seen[#seen + 1] = data error(seen) end, nil) }",
    { false, { "one" } } },
  { "nested()", { true, "a\0b", "echo:inner", true, "\0\0", "echo:inner", true } },
  { "k.qecmd('qp', 'x', function() k.qecmd('qp', 'y', function() error('deep', 0) end, nil) end, nil)",
    t.raw "deep" },
  { "t.shell(t.program('kemlua') .. [[ -e \"kemluautils.qecmd('qp', 'x', function() os.exit(0) end, nil)\"]])", "" },
  { "call(4711, 'country', nil)", { true, "Austria", "nil" } },  -- the profile's answer
  { "t.shell('cat ' .. t.quote(dir .. '-4711.log'))", function(log)
    return log:find('request "country"\nkemlua %-%-serve:   delivery 1: 7 bytes\nkemlua %-%-serve:   ended: success')
  end },
  { "refused(handler, 'x', 'endpoint folder ' .. handler .. ': not a directory')", true },
  { "refused(dir, 'a/b', \"endpoint name 'a/b': not a valid name (letters, digits, '_', '-' and '.', not starting with '.')\")",
    true },
  { "t.shell('ls -A ' .. t.quote(dir)):find('lua_qecmd_', 1, true)", nil },  -- no endpoint left
}, { call = call, value = value, seen = seen, nested = nested, t = t, refused = refused, handler = handler, dir = dir })

os.remove(handler)
t.done()
