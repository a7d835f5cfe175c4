-- The documentation as a test: every ```lua block of README.md and docs/*.md
-- runs in a fresh kemlua (project folder, TZ=UTC, built-in profile) and
-- what it states holds: print(...) --> TEXT on one line writes TEXT (runs
-- of blank space compare as one), assert(...) holds, no block stays live.
-- A block's first lines may ask for "-- needs: peer NAME" (kemlua --serve
-- NAME examples/peer_handler.lua) or "-- needs: profile FILE". Each script
-- of examples/ runs too and must end well with no block live.
if ... == "--block" then  -- kemlua docs.lua --block FILE DOCUMENT FIRST_LINE: runs one block
  local _, file, document, first = ...
  local f = assert(io.open(file))
  local code = f:read("*a")
  f:close()
  local claims, written, line = {}, {}, tonumber(first)
  for text in (code .. "\n"):gmatch("([^\n]*)\n") do
    claims[line] = text:match("^.*print%(.*%-%->%s*(.-)%s*$")
    line = line + 1
  end
  local print_ = print
  print = function(...)  -- what each line of the block writes
    local at, parts = debug.getinfo(2, "l").currentline, {}
    for i = 1, select("#", ...) do parts[i] = tostring((select(i, ...))) end
    written[at] = (written[at] and written[at] .. " " or "") .. table.concat(parts, " ")
    print_(...)
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
local function run(options, words)
  local out, status = t.shell(("cd %s && env -u KEM_DEVICE_PROFILE TZ=UTC KEM_MEM_REPORT=1 LUA_CPATH=%s %s %s %s")
    :format(q(t.source), q(os.getenv("KEM_BINARY_DIR") .. "/?.so;;"), t.program("kemlua"), options, words))
  if status ~= 0 or not out:find("kemlua: 0 live blocks, 0 bytes", 1, true) then error("\n" .. out, 0) end
end

local listing = t.shell("cd " .. q(t.source) .. " && ls README.md docs/*.md examples/*.lua")
for document in listing:gmatch("[^\n]+") do
  local f = assert(io.open(t.source .. "/" .. document))
  local text = f:read("*a")
  f:close()
  if document:match("%.lua$") then
    if not text:find("^%-%- An example peer") then t.case(document, function() run("", document) end) end
  end
  local number, block, first = 0, nil, nil
  for line in (text .. "\n"):gmatch("([^\n]*)\n") do
    number = number + 1
    if block and line:match("^```%s*$") then
      local options, code = "", table.concat(block, "\n")
      for what, name in code:gmatch("%-%- needs: (%S+) (%S+)") do
        if what == "peer" then peers[name] = peers[name] or t.peer(name) else options = options .. " --profile " .. q(name) end
      end
      local file = t.file(code)
      t.case(document .. ":" .. first, function() run(options, ("tests/lua/docs.lua --block %s %s %d")
        :format(q(file), q(document), first)) end)
      os.remove(file)
      block = nil
    elseif block then
      block[#block + 1] = line
    elseif line:match("^```lua%s*$") and not document:match("%.lua$") then
      block, first = {}, number + 1
    end
  end
end

t.done()
