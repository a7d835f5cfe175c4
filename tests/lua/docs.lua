-- The documentation as a test: every ```lua block of README.md and docs/*.md and every script of
-- examples/ runs in a fresh kemlua (project folder, TZ=UTC, built-in profile), ends well with no
-- allocator block live, and a line print(...) --> TEXT writes TEXT (runs of blank space compare as
-- one). A block may ask for "-- needs: peer NAME" (examples/peer_handler.lua), "-- needs: profile FILE" or
-- "-- needs: numbers MODE" (kemlua --device-numbers=MODE). A ```sh block whose first line is
-- "# run by the documentation test, in the project folder" runs there with sh -e, the build's kemlua
-- first on PATH (not on a cross build: its commands run the host's tools).
if ... == "--block" then  -- kemlua docs.lua --block CODE DOCUMENT FIRST_LINE: runs one block
  local _, code, document, first = ...
  local claims, written, line = {}, {}, tonumber(first)
  for text in (code .. "\n"):gmatch("([^\n]*)\n") do
    claims[line] = text:match("^.*print%(.*%-%->%s*(.-)%s*$")
    line = line + 1
  end
  print = function(...)  -- what each line of the block writes
    local at, parts = debug.getinfo(2, "l").currentline, {}
    for i = 1, select("#", ...) do parts[i] = tostring((select(i, ...))) end
    written[at] = (written[at] and written[at] .. " " or "") .. table.concat(parts, " ")
  end
  local chunk = assert(loadstring(("\n"):rep(first - 1) .. code, "@" .. document))
  local ok, err = xpcall(chunk, debug.traceback)
  local function squeeze(s) return (s or ""):gsub("%s+", " "):match("^ ?(.-) ?$") end
  for at, claim in pairs(claims) do
    if ok and squeeze(written[at]) ~= squeeze(claim) then
      ok, err = false, ("%s:%d: claims %q, printed %q"):format(document, at, claim, written[at] or "nothing")
    end
  end
  if not ok then io.stderr:write(err, "\n") end
  os.exit(ok and 0 or 1)
end

local t = require "testlib"
local q, peers = t.quote, {}
local binary, cross = os.getenv("KEM_BINARY_DIR"), (os.getenv("KEM_EMULATOR") or "") ~= ""
local function run(command)
  local out, status = t.shell(("cd %s && env -u KEM_DEVICE_PROFILE -u LUA_PATH TZ=UTC KEM_MEM_REPORT=1 LUA_CPATH=%s PATH=%s %s")
    :format(q(t.source), q(binary .. "/?.so;;"), q(binary .. ":" .. os.getenv("PATH")), command))
  if status ~= 0 or not out:find("kemlua: 0 live blocks, 0 bytes", 1, true) or out:find("kemlua: [1-9]%d* live block")
  then error("\n" .. out, 0) end
end

local listing = t.shell("cd " .. q(t.source) .. " && ls README.md docs/*.md examples/*.lua")
for document in listing:gmatch("[^\n]+") do
  local text = "\n" .. assert(io.open(t.source .. "/" .. document)):read("*a")
  if document:match("%.lua$") and not text:find("^\n%-%- An example peer") then
    t.case(document, function() run(t.program("kemlua") .. " " .. document) end)
  end
  for at, code in text:gmatch("()\n```lua\n(.-)\n```") do
    local first, options = select(2, text:sub(1, at):gsub("\n", "")) + 1, ""
    for what, name in code:gmatch("%-%- needs: (%S+) (%S+)") do
      if what == "peer" then peers[name] = peers[name] or t.peer(name)
      else options = options .. (what == "numbers" and " --device-numbers=" or " --profile ") .. q(name) end
    end
    t.case(document .. ":" .. first, function() run(("%s%s tests/lua/docs.lua --block %s %s %d")
      :format(t.program("kemlua"), options, q(code), q(document), first)) end)
  end
  for at, code in text:gmatch("()\n```sh\n# run by the documentation test, in the project folder\n(.-)\n```") do
    local name = document .. ":" .. select(2, text:sub(1, at):gsub("\n", "")) + 1
    if cross then print("skipped " .. name .. ": a cross build") else t.case(name, function() run("sh -ec " .. q(code)) end) end
  end
end

t.done()
