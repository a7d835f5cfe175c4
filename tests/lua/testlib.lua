-- testlib: the harness of the Lua test scripts. No case may leave an
-- allocator block or a registry reference behind.
local kemtest = require "kemtest"

local t = { source = os.getenv("KEM_SOURCE_DIR") or "." }
t.device = ({ ["1"] = true, on = true, warn = true })[os.getenv("KEM_DEVICE_NUMBERS") or ""] or false
local passed, failed, peers = 0, 0, {}
if os.getenv("KEM_IPC_DIR") then os.execute("rm -rf '" .. os.getenv("KEM_IPC_DIR") .. "'") end  -- a run before may have left sockets

-- The text of a value, tables with their keys sorted: equal texts are equal values.
local function show(v)
  if type(v) == "string" then return ("%q"):format(v) end
  if type(v) == "number" then return ("%.17g"):format(v) end
  if type(v) ~= "table" then return tostring(v) end
  local parts = {}
  for key, value in pairs(v) do parts[#parts + 1] = ("[%s] = %s"):format(show(key), show(value)) end
  table.sort(parts)
  return "{ " .. table.concat(parts, ", ") .. " }"
end

function t.eq(got, want)
  if show(got) ~= show(want) then error(("expected %s, got %s"):format(show(want), show(got)), 2) end
end

-- Live luaL_ref references: positive integer keys of the registry that are
-- not on luaL_ref's free list, whose head is registry[0].
local function references()
  local registry, free, live = debug.getregistry(), {}, 0
  local slot = registry[0]
  while type(slot) == "number" and slot > 0 and not free[slot] do free[slot] = true slot = registry[slot] end
  for key in pairs(registry) do
    if type(key) == "number" and key >= 1 and key % 1 == 0 and not free[key] then live = live + 1 end
  end
  return live
end

function t.case(name, fn)
  collectgarbage("collect")
  local refs = references()
  local ok, err = xpcall(fn, debug.traceback)
  collectgarbage("collect")
  if ok and kemtest.live_blocks() ~= 0 then
    kemtest.report()  -- to standard error
    ok, err = false, kemtest.live_blocks() .. " live block(s) left"
  elseif ok and references() ~= refs then
    ok, err = false, (references() - refs) .. " registry reference(s) left"
  end
  passed, failed = passed + (ok and 1 or 0), failed + (ok and 0 or 1)
  if not ok then print("FAIL " .. name .. ": " .. tostring(err)) end
end

function t.err(message) return { error = "row:1: " .. message } end

-- f(...) with a callback put before the last argument that collects what it
-- is given: f's result, then each delivery and value (nil as "nil").
function t.collect(f, ...)
  local got, n, args = { false }, select("#", ...), { ... }
  args[n + 1] = args[n]
  args[n] = function(data, v)
    got[#got + 1] = data
    got[#got + 1] = v == nil and "nil" or v
  end
  got[1] = f(unpack(args, 1, n + 1))
  return got
end

-- Runs each row { expression, expected } as a case of its own (k is kemluautils): the value
-- must equal the expected one (tables deeply; a function is a test it must pass); an error
-- is the value { error = message }, t.err(message) one raised in the row.
function t.rows(rows, names)
  local env = setmetatable({ k = kemluautils }, { __index = _G })
  for name, value in pairs(names or {}) do env[name] = value end
  for _, row in ipairs(rows) do
    t.case(row[1], function()
      local ok, got = pcall(setfenv(assert(loadstring("local r = " .. row[1] .. "\nreturn r", "=row")), env))
      if not ok then got = { error = got } end
      if type(row[2]) ~= "function" then
        t.eq(got, row[2])
      elseif not row[2](got) then
        error("unexpected " .. show(got), 0)
      end
    end)
  end
end

function t.quote(s) return "'" .. tostring(s):gsub("'", "'\\''") .. "'" end

-- The shell words that start a built program (through KEM_EMULATOR on a cross build).
function t.program(name)
  return (os.getenv("KEM_EMULATOR") or "") .. t.quote(os.getenv("KEM_BINARY_DIR") .. "/" .. name)
end

-- A shell command's output (standard error included) and exit status.
function t.shell(command)
  local pipe = io.popen(command .. " 2>&1; echo \"status=$?\"")
  local body, status = pipe:read("*a"):match("^(.-)status=(%d+)\n$")
  pipe:close()
  return body, tonumber(status)
end

-- Starts kemlua [OPTIONS] --serve NAME HANDLER (default examples/peer_handler.lua) in the endpoint
-- folder KEM_IPC_DIR, its output in KEM_IPC_DIR-NAME.log, and waits until it listens; t.done stops it.
function t.peer(name, handler, options)
  local dir = assert(os.getenv("KEM_IPC_DIR"), "KEM_IPC_DIR is not set")
  local socket = t.quote(dir .. "/" .. name)
  local pid = t.shell(("%s %s --serve %s %s >%s 2>&1 & echo $!"):format(t.program("kemlua"), options or "",
    t.quote(name), t.quote(handler or t.source .. "/examples/peer_handler.lua"), t.quote(dir .. "-" .. name .. ".log")))
    :match("%d+")
  t.shell("for i in $(seq 300); do [ -S " .. socket .. " ] && break; sleep 0.05; done")
  peers[#peers + 1] = "kill " .. pid .. "; for i in $(seq 300); do [ -S " .. socket .. " ] || break; sleep 0.05; done"
  return pid
end

function t.done()
  for _, stop in ipairs(peers) do t.shell(stop) end
  print(("%d passed, %d failed"):format(passed, failed))
  os.exit(failed == 0 and 0 or 1)
end

-- A misspelt local would silently become a global: writing an undeclared global
-- is an error (but for modules, which register themselves from C).
setmetatable(_G, { __newindex = function(g, key, value)
  if (debug.getinfo(2, "S") or {}).what ~= "C" then error("assignment to undeclared global " .. tostring(key), 2) end
  rawset(g, key, value)
end })

return t
