-- The documentation as a test: every ```lua block of docs/*.md and README.md
-- runs (each in its own kemlua, from the project folder, with TZ=UTC and the
-- built-in device profile) and its claims hold (see docrun.lua); the index
-- docs/README.md names every module function in table order and every
-- exported native function; relative links lead to existing files and
-- headings.
--
-- A block may start with directives that prepare what it needs:
--   -- needs: peer NAME       kemlua --serve NAME examples/peer_handler.lua
--                             runs in a temporary KEM_IPC_DIR
--   -- needs: profile FILE    kemlua --profile FILE (relative to the project)
local t = require "testlib"

local src = assert(os.getenv("KEM_SOURCE_DIR"), "KEM_SOURCE_DIR is not set")
local bin = assert(os.getenv("KEM_BINARY_DIR"), "KEM_BINARY_DIR is not set")
local kemlua = t.program("kemlua")

local q, sh = t.quote, t.shell

local function read(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local text = f:read("*a")
  f:close()
  return text
end

local function lines_of(text)
  local lines = {}
  for l in (text .. "\n"):gmatch("([^\n]*)\n") do lines[#lines + 1] = l end
  return lines
end

-- The documents, README.md first.
local documents = { "README.md" }
do
  local p = io.popen("cd " .. q(src) .. " && ls docs/*.md")
  for name in p:lines() do documents[#documents + 1] = name end
  p:close()
end

-- The fenced blocks of a document: { lang, first_line, code }.
local function blocks_of(text)
  local blocks, current = {}, nil
  for n, l in ipairs(lines_of(text)) do
    if current then
      if l:match("^```%s*$") then
        blocks[#blocks + 1] = current
        current = nil
      else
        current.lines[#current.lines + 1] = l
      end
    else
      local lang = l:match("^```(%S*)%s*$")
      if lang then current = { lang = lang, first_line = n + 1, lines = {} } end
    end
  end
  for _, b in ipairs(blocks) do b.code = table.concat(b.lines, "\n") end
  return blocks
end

-- Peers started for the blocks that need them, in one temporary IPC folder.
local ipc_dir
local peers = {}

local function start_peer(name)
  if peers[name] then return end
  if not ipc_dir then
    local p = io.popen("mktemp -d")
    ipc_dir = p:read("*l")
    p:close()
  end
  local out = sh(("KEM_IPC_DIR=%s %s --serve %s %s >/dev/null 2>>%s/peers.log & echo $!")
    :format(q(ipc_dir), kemlua, q(name), q(src .. "/examples/peer_handler.lua"), q(ipc_dir)))
  peers[name] = out:match("(%d+)")
  for _ = 1, 100 do
    if os.execute("test -S " .. q(ipc_dir .. "/" .. name)) == 0 then return end
    os.execute("sleep 0.05")
  end
  error("peer " .. name .. " did not start")
end

-- Runs one block in its own kemlua; fails the case unless it passes.
local function run_block(document, block, strict)
  local options = {}
  for l in block.code:gmatch("[^\n]+") do
    local what, arg = l:match("^%-%- needs: (%S+) (%S+)%s*$")
    if not what then break end
    if what == "peer" then
      start_peer(arg)
    elseif what == "profile" then
      options[#options + 1] = "--profile " .. q(arg)
    else
      error("unknown need " .. what)
    end
  end
  local file = os.tmpname()
  local f = assert(io.open(file, "wb"))
  f:write(block.code, "\n")
  f:close()
  -- the build folder first on the C path: kemtest, for the allocator checks
  local cpath = bin .. "/?.so;" .. (os.getenv("LUA_CPATH") or ";")
  local command = ("cd %s && env -u KEM_DEVICE_PROFILE TZ=UTC LUA_CPATH=%s KEM_IPC_DIR=%s %s %s %s %s %s %d %s")
    :format(q(src), q(cpath), q(ipc_dir or "/nonexistent"), kemlua, table.concat(options, " "),
      q(src .. "/tests/lua/docrun.lua"), q(file), q(document), block.first_line,
      strict and "strict" or "")
  local out, status = sh(command)
  os.remove(file)
  if status ~= 0 then error("\n" .. out, 0) end
end

local index = read(src .. "/docs/README.md") or ""

for _, document in ipairs(documents) do
  local text = assert(read(src .. "/" .. document), document)
  for _, block in ipairs(blocks_of(text)) do
    if block.lang == "lua" then
      -- the README belongs to the lead: its blocks run, claims or not
      t.case(document .. ":" .. block.first_line, function() run_block(document, block, true) end)
    end
  end
end

t.case("a failing claim, a block with no claim and a raising block are caught", function()
  local cases = {
    { "print(1 + 1)  --> 3", 'claims "3", printed "2"' },
    { "local x = 1", "states no result" },
    { "print(kemluautils.sleep(-1))  --> 0", "luautils_sleep() value is out of range" },
    { "local x = 1  --> 1", "needs the print call on its line" },
  }
  for _, c in ipairs(cases) do
    local ok, err = pcall(run_block, "docs/none.md", { code = c[1], first_line = 7 }, true)
    t.ok(not ok and err:find(c[2], 1, true), c[1] .. " gave: " .. tostring(err))
    t.ok(err:find("docs/none.md:7", 1, true), "the document line is named: " .. err)
  end
end)

-- The module table's names in table order, read from its source.
local function module_order()
  local source = assert(read(src .. "/low/kemluautils/kemluautils.cpp"))
  local tbl = source:match("module_functions%[%] = (%b{})")
  local names = {}
  for name in tbl:gmatch('{"([%w_]+)",') do names[#names + 1] = name end
  return names
end

-- Names linked from the index's table rows, in order: "| [`name`](...)".
local function index_names()
  local names = {}
  for name in index:gmatch("\n| %[`([%w_.]+)`%]%(") do names[#names + 1] = name end
  return names
end

t.case("the index lists the 26 module functions in table order, then RFC1630_Escape", function()
  local order = module_order()
  t.eq(#order, 26, "functions in the module table")
  local count = 0
  for _, v in pairs(kemluautils) do
    if type(v) == "function" then count = count + 1 end
  end
  t.eq(count, 26, "functions in the loaded module")
  local listed = index_names()
  local expected = {}
  for i, name in ipairs(order) do expected[i] = name end
  expected[#expected + 1] = "kiv.RFC1630_Escape"
  t.eq({ unpack(listed, 1, #expected) }, expected)
end)

t.case("the index links every exported native function", function()
  local header = assert(read(src .. "/low/kemluautils/kemluautils.h"))
  local listed = {}
  for _, name in ipairs(index_names()) do listed[name] = true end
  local missing = {}
  header = header:gsub("\n#[^\n]*", "\n")  -- no macro definitions
  local exported = 0
  -- a declaration: KEMLUAUTILS_API [attribute macros] type name(parameters);
  for decl in header:gmatch("KEMLUAUTILS_API([^;]*);") do
    decl = decl:gsub("KEMLUAUTILS_%w+%b()", ""):gsub("KEMLUAUTILS_%w+", "")
    local name = decl:match("([%w_]+)%s*%(")
    exported = exported + 1
    if name and not listed[name] then missing[#missing + 1] = name end
  end
  t.ok(exported >= 16, "exported functions found in the header: " .. exported)
  t.eq(missing, {}, "exported functions without an index entry")
end)

-- The anchor GitHub gives a heading: lower case, punctuation dropped,
-- spaces as hyphens (headings here are ASCII).
local function slug(heading)
  return (heading:lower():gsub("[^%w_%- ]", ""):gsub(" ", "-"))
end

local function anchors_of(text)
  local anchors, seen = {}, {}
  local fenced = false
  for _, l in ipairs(lines_of(text)) do
    if l:match("^```") then fenced = not fenced end
    local heading = not fenced and l:match("^#+%s+(.-)%s*$")
    if heading then
      local s = slug(heading)
      if seen[s] then
        seen[s] = seen[s] + 1
        s = s .. "-" .. seen[s]
      else
        seen[s] = 0
      end
      anchors[s] = true
    end
  end
  return anchors
end

-- Resolves "a/./b/../c" path segments.
local function normalize(path)
  local parts = {}
  for part in path:gmatch("[^/]+") do
    if part == ".." then parts[#parts] = nil elseif part ~= "." then parts[#parts + 1] = part end
  end
  return table.concat(parts, "/")
end

t.case("relative links lead to existing files and headings", function()
  local broken = {}
  for _, document in ipairs(documents) do
    local text = read(src .. "/" .. document)
    local folder = document:match("^(.*)/") or ""
    for target in text:gmatch("%]%(([^)%s]+)%)") do
      if not target:match("^%a+:") then
        local file, anchor = target:match("^([^#]*)#?(.*)$")
        local path = file == "" and document or normalize(folder .. "/" .. file)
        local body = read(src .. "/" .. path)
        if not body and os.execute("test -d " .. q(src .. "/" .. path)) == 0 then body = "" end
        if not body then
          broken[#broken + 1] = document .. ": " .. target
        elseif anchor ~= "" and not anchors_of(body)[anchor] then
          broken[#broken + 1] = document .. ": " .. target .. " (no such heading)"
        end
      end
    end
  end
  t.eq(broken, {}, "broken links")
end)

for _, pid in pairs(peers) do os.execute("kill " .. pid .. " 2>/dev/null") end
if ipc_dir then os.execute("sleep 0.2; rm -rf " .. q(ipc_dir)) end
t.done()
