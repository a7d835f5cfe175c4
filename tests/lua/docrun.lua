-- docrun: runs one ```lua block of the documentation and checks its claims.
--
--   kemlua tests/lua/docrun.lua BLOCK_FILE SOURCE_NAME FIRST_LINE [strict]
--
-- BLOCK_FILE holds the block's code, which starts on line FIRST_LINE of the
-- document SOURCE_NAME (e.g. docs/time.md); errors and claims are reported
-- at the document's own line numbers. test_docs.lua starts one process per
-- block, so every block begins with a fresh interpreter and environment.
--
-- Claims a block makes about its results:
--   print(...)   --> TEXT   what that print call writes (white space runs
--                           compare as one space, tabs included) is TEXT
--   assert(...)             a plain Lua assertion
-- A "-->" claim must sit on the line where its print call starts. With
-- "strict", a block that makes no claim fails. After the block, no block of
-- the tagged allocator may be live.

local block_file, source, first_line, strict = ...
first_line = tonumber(first_line)

local f = assert(io.open(block_file, "rb"))
local code = f:read("*a")
f:close()

local failures = {}
local function failure(line, text)
  failures[#failures + 1] = ("%s:%d: %s"):format(source, line, text)
end

-- The claims: document line -> expected text.
local claims, nclaims = {}, 0
local line = first_line
for text in (code .. "\n"):gmatch("([^\n]*)\n") do
  local expected = text:match("%-%->%s*(.-)%s*$")
  if expected then
    if not text:find("print%(") then
      failure(line, "a --> claim needs the print call on its line")
    end
    claims[line] = expected
    nclaims = nclaims + 1
  end
  if text:find("assert%(") then nclaims = nclaims + 1 end
  line = line + 1
end
if strict == "strict" and nclaims == 0 then
  failure(first_line, "the block states no result (no --> claim, no assert)")
end

-- print records what each line of the block writes, and writes it too.
local chunkname = "@" .. source
local written = {}
local real_print = print
print = function(...)
  local parts = {}
  for i = 1, select("#", ...) do parts[i] = tostring((select(i, ...))) end
  local info = debug.getinfo(2, "Sl")
  if info and info.source == chunkname then
    local at = info.currentline
    written[at] = (written[at] and written[at] .. "\n" or "") .. table.concat(parts, "\t")
  end
  real_print(...)
end

-- Blank lines in front put the code at its document line numbers.
local chunk, err = loadstring(string.rep("\n", first_line - 1) .. code, chunkname)
if not chunk then
  failure(first_line, "does not compile: " .. err)
else
  local ok, run_err = xpcall(chunk, debug.traceback)
  if not ok then failures[#failures + 1] = "raised: " .. tostring(run_err) end
end

local function squeeze(s) return (s:gsub("%s+", " "):gsub("^ ", ""):gsub(" $", "")) end
if #failures == 0 then
  for at, expected in pairs(claims) do
    local got = written[at]
    if not got then
      failure(at, "the print of this claim wrote nothing")
    elseif squeeze(got) ~= squeeze(expected) then
      failure(at, ("claims %q, printed %q"):format(expected, got))
    end
  end
end

local have_kemtest, kemtest = pcall(require, "kemtest")
if have_kemtest then
  collectgarbage("collect")
  if kemtest.live_blocks() ~= 0 then
    failures[#failures + 1] = kemtest.live_blocks() .. " live block(s) left:\n" .. kemtest.report()
  end
end

for _, text in ipairs(failures) do io.stderr:write("FAIL ", text, "\n") end
os.exit(#failures == 0 and 0 or 1)
