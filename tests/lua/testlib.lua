-- testlib: the harness of the Lua test scripts.
--
--   local t = require "testlib"
--   t.case("name", function() t.eq(f(1), 2) end)
--   t.done()          -- prints "N passed, N failed" and exits 1 on any failure
--
-- Every case runs protected and must leave no live allocator block and no
-- registry reference behind (checked with kemtest after a full collection).
-- After the harness has loaded, writing an undeclared global is an error.

local kemtest = require "kemtest"

local t = {}
local passed, failed, skipped = 0, 0, 0
local current

-- Formats a value for messages: strings quoted with escapes, tables in brief.
local function show(v)
  if type(v) == "string" then return string.format("%q", v) end
  return tostring(v)
end
t.show = show

local function fail(msg, level)
  error(msg, (level or 1) + 1)
end

-- Asserts that actual equals expected (deeply for tables).
local function deep_equal(a, b)
  if a == b then return true end
  if type(a) ~= "table" or type(b) ~= "table" then return false end
  for k, v in pairs(a) do
    if not deep_equal(v, b[k]) then return false end
  end
  for k in pairs(b) do
    if a[k] == nil then return false end
  end
  return true
end
t.deep_equal = deep_equal

local function dump(v, indent)
  if type(v) ~= "table" then return show(v) end
  indent = indent or ""
  local keys = {}
  for k in pairs(v) do keys[#keys + 1] = k end
  table.sort(keys, function(x, y)
    if type(x) == type(y) and (type(x) == "number" or type(x) == "string") then return x < y end
    return type(x) < type(y)
  end)
  local parts = {}
  for _, k in ipairs(keys) do
    parts[#parts + 1] = indent .. "  [" .. show(k) .. "] = " .. dump(v[k], indent .. "  ")
  end
  return "{\n" .. table.concat(parts, ",\n") .. "\n" .. indent .. "}"
end
t.dump = dump

function t.eq(actual, expected, what)
  if not deep_equal(actual, expected) then
    fail(string.format("%sexpected %s, got %s", what and (what .. ": ") or "",
      dump(expected), dump(actual)), 2)
  end
end

function t.ok(value, what)
  if not value then fail((what or "condition") .. " is not true", 2) end
end

-- The message of an error raised by fn(...), or fails when nothing is raised.
function t.error_of(fn, ...)
  local ok, err = pcall(fn, ...)
  if ok then fail("expected an error, none was raised", 3) end
  return err
end

-- Asserts fn raises exactly `expected` behind a script position ("chunk:line: ").
-- Call the function under test without `return` inside fn: LuaJIT drops the
-- frame of a tail call, and with it the position.
function t.raises(fn, expected)
  local err = t.error_of(fn)
  if type(err) ~= "string" then
    fail("expected error " .. show(expected) .. ", got a " .. type(err) .. " value", 2)
  end
  local position, rest = err:match("^(.-:%d+: )(.*)$")
  if not position or rest ~= expected then
    fail("expected error <position>: " .. show(expected) .. ", got " .. show(err), 2)
  end
end

-- The arguments of one call, nils included: t.args("a", nil) passes two.
function t.args(...)
  return { n = select("#", ...), ... }
end

-- Asserts fn(args) raises exactly `expected` behind a script position, for
-- each argument list given (made with t.args).
function t.raises_all(fn, expected, ...)
  for i = 1, select("#", ...) do
    local a = select(i, ...)
    local ok, err = pcall(t.raises, function() fn(unpack(a, 1, a.n)) end, expected)
    if not ok then fail("argument list " .. i .. ": " .. tostring(err), 2) end
  end
end

-- Asserts fn raises exactly `expected`, with no position in front.
function t.raises_raw(fn, expected)
  local err = t.error_of(fn)
  if err ~= expected then
    fail("expected error " .. show(expected) .. " (no position), got " .. show(err), 2)
  end
end

-- A text quoted for the shell.
function t.quote(s)
  return "'" .. s:gsub("'", "'\\''") .. "'"
end

-- The shell words that start a built program of this build (kemlua, a test
-- program): through the emulator on a cross build, whose command line
-- KEM_EMULATOR holds shell-quoted (empty on the host).
function t.program(name)
  local bin = assert(os.getenv("KEM_BINARY_DIR"), "KEM_BINARY_DIR is not set")
  return (os.getenv("KEM_EMULATOR") or "") .. t.quote(bin .. "/" .. name)
end

-- Runs a shell command line; gives its output (standard error included) and
-- its exit status.
function t.shell(command)
  local pipe = io.popen(command .. " 2>&1; echo \"status=$?\"")
  local out = pipe:read("*a")
  pipe:close()
  local body, status = out:match("^(.-)status=(%d+)\n$")
  return body, tonumber(status)
end

-- Polls cond every 50 ms until it gives a true value, which it returns;
-- false once the seconds (5 by default) have passed. A deadline against a
-- hang, not a measure of speed.
function t.wait_until(cond, seconds)
  for _ = 1, (seconds or 5) * 20 do
    local v = cond()
    if v then return v end
    os.execute("sleep 0.05")
  end
  return false
end

-- Marks the running case as skipped, with a reason.
function t.skip(reason)
  error({ skip = reason }, 0)
end

local function leaks(refs_before)
  collectgarbage("collect")
  local blocks = kemtest.live_blocks()
  local refs = kemtest.registry_refs()
  local problems = {}
  if blocks ~= 0 then
    problems[#problems + 1] = blocks .. " live block(s):\n" .. kemtest.report()
  end
  if refs ~= refs_before then
    problems[#problems + 1] = (refs - refs_before) .. " registry reference(s) left"
  end
  if #problems > 0 then return table.concat(problems, "; ") end
end

-- Runs one case protected, then checks for leaks.
function t.case(name, fn)
  current = name
  collectgarbage("collect")
  local refs_before = kemtest.registry_refs()
  local ok, err = xpcall(fn, function(e)
    if type(e) == "table" and e.skip then return e end
    return debug.traceback(tostring(e), 2)
  end)
  kemtest.fail_off()
  if ok then
    local leak = leaks(refs_before)
    if leak then ok, err = false, "leak: " .. leak end
  end
  if ok then
    passed = passed + 1
  elseif type(err) == "table" and err.skip then
    skipped = skipped + 1
    print("SKIP " .. name .. ": " .. tostring(err.skip))
  else
    failed = failed + 1
    print("FAIL " .. name .. ": " .. tostring(err))
  end
  current = nil
end

-- Prints the counts and ends the script: status 1 when a case failed.
function t.done()
  print(string.format("%d passed, %d failed, %d skipped", passed, failed, skipped))
  os.exit(failed == 0 and 0 or 1)
end

-- The trap on accidental global writes by scripts (modules that native code
-- registers as globals, such as a required C module, pass).
setmetatable(_G, {
  __newindex = function(g, k, v)
    local caller = debug.getinfo(2, "S")
    if caller and caller.what == "C" then return rawset(g, k, v) end
    error("assignment to undeclared global " .. tostring(k), 2)
  end,
})

return t
