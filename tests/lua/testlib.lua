-- testlib: the harness of the Lua test scripts.
--
--   local t = require "testlib"
--   t.rows {                                  -- one case per row
--     { "k.sleep(0)", 0 },                    -- the expression's value (tables compare deeply)
--     { "k.sleep(-1)", t.err "luautils_sleep() value is out of range for argument #1" },
--     { "kiv.RFC1630_Escape('x')", t.raw "lua_rfc1630_escape() requires 2 arguments" },
--   }
--   t.done()          -- prints "N passed, N failed, N skipped"; exits 1 on any failure
--
-- A row's expression runs in a chunk named "row" with k = kemluautils and the
-- names of t.rows' second argument at hand; t.err wants the message behind
-- the script position "row:1: ", t.raw wants it without any position, and a
-- function as the expected value is a test the result must pass. Every case
-- must leave no live allocator block and no registry reference behind.
-- Writing an undeclared global is an error.
local kemtest = require "kemtest"

local t = { source = os.getenv("KEM_SOURCE_DIR") or "." }
local passed, failed, skipped = 0, 0, 0
local peers = {}

local function show(v, indent)
  if type(v) == "string" then return string.format("%q", v) end
  if type(v) ~= "table" or (getmetatable(v) or {}).__tostring then return tostring(v) end
  indent = indent or ""
  local keys = {}
  for key in pairs(v) do keys[#keys + 1] = key end
  table.sort(keys, function(a, b)
    if type(a) == type(b) and type(a) ~= "table" and type(a) ~= "boolean" then return a < b end
    return type(a) < type(b)
  end)
  local parts = {}
  for _, key in ipairs(keys) do
    parts[#parts + 1] = indent .. "  [" .. show(key) .. "] = " .. show(v[key], indent .. "  ")
  end
  return "{\n" .. table.concat(parts, ",\n") .. "\n" .. indent .. "}"
end

local function equal(a, b)
  if a == b then return true end
  if type(a) ~= "table" or type(b) ~= "table" then return false end
  for key, value in pairs(a) do if not equal(value, b[key]) then return false end end
  for key in pairs(b) do if a[key] == nil then return false end end
  return true
end

function t.eq(got, want, what)
  if not equal(got, want) then
    error(("%sexpected %s, got %s"):format(what and what .. ": " or "", show(want), show(got)), 2)
  end
end

-- Live luaL_ref references: positive integer keys of the registry that are
-- not on luaL_ref's free list, whose head is registry[0].
function t.registry_refs()
  local registry, free, live = debug.getregistry(), {}, 0
  local slot = registry[0]
  while type(slot) == "number" and slot > 0 and not free[slot] do free[slot] = true slot = registry[slot] end
  for key in pairs(registry) do
    if type(key) == "number" and key >= 1 and key % 1 == 0 and not free[key] then live = live + 1 end
  end
  return live
end

-- Runs fn protected as one case, then checks that it left nothing behind.
function t.case(name, fn)
  collectgarbage("collect")
  local refs = t.registry_refs()
  local ok, err = xpcall(fn, function(e)
    return type(e) == "table" and e.skip and e or debug.traceback(tostring(e), 2)
  end)
  kemtest.fail_off()
  collectgarbage("collect")
  if ok and kemtest.live_blocks() ~= 0 then
    ok, err = false, kemtest.live_blocks() .. " live block(s) left:\n" .. kemtest.report()
  elseif ok and t.registry_refs() ~= refs then
    ok, err = false, (t.registry_refs() - refs) .. " registry reference(s) left"
  end
  if ok then
    passed = passed + 1
  elseif type(err) == "table" then
    skipped = skipped + 1
    print("SKIP " .. name .. ": " .. tostring(err.skip))
  else
    failed = failed + 1
    print("FAIL " .. name .. ": " .. tostring(err))
  end
end

function t.skip(reason) error({ skip = reason }, 0) end

local Raised = {}
function t.err(message) return setmetatable({ message = "row:1: " .. message }, Raised) end
function t.raw(message) return setmetatable({ message = message }, Raised) end

-- Runs each row { expression, expected } as a case of its own.
function t.rows(rows, names)
  local env = setmetatable({ k = kemluautils }, { __index = _G })
  for name, value in pairs(names or {}) do env[name] = value end
  for _, row in ipairs(rows) do
    local code, want = row[1], row[2]
    t.case(code, function()
      local chunk = assert(loadstring("local r = " .. code .. "\nreturn r", "=row"))
      local ok, got = pcall(setfenv(chunk, env))
      if getmetatable(want) == Raised then
        if ok or got ~= want.message then
          error(("expected the error %q, got %s"):format(want.message, (ok and "the value " or "") .. show(got)), 0)
        end
      elseif not ok then
        error(got, 0)
      elseif type(want) == "function" then
        if not want(got) then error("unexpected " .. show(got), 0) end
      else
        t.eq(got, want)
      end
    end)
  end
end

-- A text quoted for the shell.
function t.quote(s) return "'" .. tostring(s):gsub("'", "'\\''") .. "'" end

-- The shell words that start a built program of this build: through the
-- emulator on a cross build, whose command line KEM_EMULATOR holds.
function t.program(name)
  return (os.getenv("KEM_EMULATOR") or "") .. t.quote(os.getenv("KEM_BINARY_DIR") .. "/" .. name)
end

-- Runs a shell command; its output (standard error included) and exit status.
function t.shell(command)
  local pipe = io.popen(command .. " 2>&1; echo \"status=$?\"")
  local out = pipe:read("*a")
  pipe:close()
  local body, status = out:match("^(.-)status=(%d+)\n$")
  return body, tonumber(status)
end

-- Writes text to a new temporary file; its name.
function t.file(text)
  local name = os.tmpname()
  local f = assert(io.open(name, "wb"))
  f:write(text)
  f:close()
  return name
end

-- Starts kemlua --serve NAME HANDLER (examples/peer_handler.lua by default)
-- in the endpoint folder that KEM_IPC_DIR names, and waits until it listens.
-- Returns a function that stops it; t.done stops those still running.
function t.peer(name, handler)
  local dir = assert(os.getenv("KEM_IPC_DIR"), "KEM_IPC_DIR is not set")
  local pid = t.shell(("%s --serve %s %s >/dev/null 2>>%s & echo $!"):format(t.program("kemlua"),
    t.quote(name), t.quote(handler or t.source .. "/examples/peer_handler.lua"), t.quote(dir .. ".log")))
  pid = assert(pid:match("%d+"))
  local socket = t.quote(dir .. "/" .. name)
  t.shell("for i in $(seq 300); do [ -S " .. socket .. " ] && break; sleep 0.05; done")
  local function stop()
    if peers[pid] then
      peers[pid] = nil
      t.shell("kill " .. pid .. "; for i in $(seq 300); do [ -S " .. socket .. " ] || break; sleep 0.05; done")
    end
  end
  peers[pid] = stop
  return stop
end

-- Stops the peers, prints the counts and ends the script.
function t.done()
  for _, stop in pairs(peers) do stop() end
  print(("%d passed, %d failed, %d skipped"):format(passed, failed, skipped))
  os.exit(failed == 0 and 0 or 1)
end

setmetatable(_G, {
  __newindex = function(g, key, value)
    local caller = debug.getinfo(2, "S")
    if caller and caller.what == "C" then return rawset(g, key, value) end
    error("assignment to undeclared global " .. tostring(key), 2)
  end,
})

return t
