-- The script authors' tools: the language server's definitions and the
-- luacheck standard name exactly the functions that the loaded module, kiv and
-- kemlua.json have; each definition has a summary, one @param per parameter,
-- a @return, and as many parameters as docs/ gives the function.
local t = require "testlib"
local loaded = { kemluautils = kemluautils, kiv = kiv, ["kemlua.json"] = require "kemlua.json" }

local function read(path)
  local f = assert(io.open(t.source .. "/" .. path))
  local text = f:read("*a")
  f:close()
  return text
end

-- Documented parameter counts: the signatures "`kemluautils.NAME(a, b [, c])`" and
-- "`kiv.NAME(...)`" of docs/*.md, and the rows "| `NAME(...)` |" of kemlua.json's table.
local documented, conflicts = { kemluautils = {}, kiv = {}, ["kemlua.json"] = {} }, {}
local function document(where, name, args)
  local count = 0
  for word in args:gsub("[%[%]]", ""):gmatch("[^,]+") do
    word = word:match("^%s*(.-)%s*$")
    if not word:match("^[%a_][%w_]*$") then return end  -- an example call, not a signature
    count = count + 1
  end
  if documented[where][name] and documented[where][name] ~= count then conflicts[#conflicts + 1] = where .. "." .. name end
  documented[where][name] = count
end
for doc in t.shell("cd " .. t.quote(t.source) .. " && ls docs/*.md"):gmatch("[^\n]+") do
  for where, name, args in read(doc):gmatch("`(%a+)%.([%w_]+)%(([^)`]*)%)`") do
    if where ~= "json" and documented[where] then document(where, name, args) end
  end
end
for name, args in read("docs/numbers.md"):match("\n## JSON from scripts.*"):gmatch("\n| `([%w_]+)%(([^)`]*)%)` |") do
  document("kemlua.json", name, args)
end

-- The definitions: { [table] = { [name] = { count = times defined, params = n, problem = text } } }.
local defined = { kemluautils = {}, kiv = {}, ["kemlua.json"] = {} }
local library = "tools/lua-language-server/kemluautils/library/"
for file, rename in pairs({ ["kemluautils.lua"] = {}, ["kemlua/json.lua"] = { json = "kemlua.json" } }) do
  local comments = {}
  for line in read(library .. file):gmatch("([^\n]*)\n") do
    local where, name, args = line:match("^function ([%w_]+)%.([%w_]+)%(([^)]*)%) end$")
    if where then
      where = rename[where] or where
      local d = defined[where][name] or { count = 0 }
      defined[where][name], d.count, d.params = d, d.count + 1, 0
      local want, summary, returns = {}, comments[1] and not comments[1]:match("^@"), false
      for param in args:gmatch("[%w_]+") do d.params, want[#want + 1] = d.params + 1, param end
      local got = {}
      for _, c in ipairs(comments) do
        got[#got + 1] = c:match("^@param ([%w_]+)")
        returns = returns or c:match("^@return") ~= nil
      end
      if not summary or not returns or table.concat(got, ",") ~= table.concat(want, ",") then
        d.problem = "needs a summary line, an @param per parameter in order and an @return"
      end
      comments = {}
    else
      comments[#comments + 1] = line:match("^%-%-%-(.*)")
      if not line:match("^%-%-%-") then comments = {} end
    end
  end
end

t.case("each function has one definition with its documented parameter count", function()
  local problems = { #conflicts > 0 and "docs/ give other counts for " .. table.concat(conflicts, ", ") or nil }
  for where, module in pairs(loaded) do
    for name, value in pairs(module) do
      local d, count, full = defined[where][name], documented[where][name], where .. "." .. name
      if type(value) ~= "function" then  -- _VERSION
        assert(not d, full .. " is no function")
      elseif not d or d.count ~= 1 then
        problems[#problems + 1] = ("%s is defined %d times"):format(full, d and d.count or 0)
      elseif not count or d.params ~= count then
        problems[#problems + 1] = ("%s has %d parameters, docs/ give %s"):format(full, d.params, tostring(count))
      elseif d.problem then
        problems[#problems + 1] = full .. " " .. d.problem
      end
    end
    for name in pairs(defined[where]) do
      if type(module[name]) ~= "function" then problems[#problems + 1] = where .. "." .. name .. " is no function" end
    end
  end
  assert(#problems == 0, table.concat(problems, "\n"))
end)

t.case("the luacheck standard knows exactly the fields of kemluautils and kiv", function()
  local std = assert(loadfile(t.source .. "/tools/luacheck/kemluautils/luacheck.lua"))()
  for _, where in ipairs({ "kemluautils", "kiv" }) do
    local names = {}
    for name in pairs(std.read_globals[where].fields) do names[#names + 1] = name end
    for name in pairs(loaded[where]) do names[#names + 1] = name end
    table.sort(names)
    for i = 1, #names, 2 do t.eq(names[i + 1], names[i]) end
  end
end)

t.done()
