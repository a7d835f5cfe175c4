-- The script authors' tools name exactly the functions that the loaded module, kiv and kemlua.json
-- have: the luacheck standard, and the language server's definitions, each defined once with a
-- summary, an @param per parameter (as many as docs/ give it) and an @return.
local t = require "testlib"
local loaded = { kemluautils = kemluautils, kiv = kiv, ["kemlua.json"] = require "kemlua.json" }
local function read(path)
  local f = assert(io.open(t.source .. "/" .. path))
  return f:read("*a"), f:close()
end

-- Parameter counts from the signatures `kemluautils.NAME(a, b [, c])` and `kiv.NAME(...)` of
-- docs/*.md and the rows | `NAME(...)` | of kemlua.json's table; "?" where two disagree.
local documented = { kemluautils = {}, kiv = {}, ["kemlua.json"] = {} }
local function document(where, name, args)
  local words = args:gsub("[%[%],]", " ")
  if words:find("[^%w_%s]") or words:find("%f[%w_]%d") then return end  -- an example call
  local count, known = select(2, words:gsub("[%w_]+", "")), documented[where][name]
  documented[where][name] = (known == nil or known == count) and count or "?"
end
for doc in t.shell("cd " .. t.quote(t.source) .. " && ls docs/*.md"):gmatch("[^\n]+") do
  for where, name, args in read(doc):gmatch("`(%a+)%.([%w_]+)%(([^)`]*)%)`") do
    if where ~= "json" and documented[where] then document(where, name, args) end
  end
end
for name, args in read("docs/numbers.md"):match("\n## JSON from scripts.*"):gmatch("\n| `([%w_]+)%(([^)`]*)%)` |") do
  document("kemlua.json", name, args)
end

-- The definitions, one block of comments and a function line between blank lines.
local defined = { kemluautils = {}, kiv = {}, ["kemlua.json"] = {} }
for file, rename in pairs({ ["kemluautils.lua"] = {}, ["kemlua/json.lua"] = { json = "kemlua.json" } }) do
  for block in (read("tools/lua-language-server/kemluautils/library/" .. file) .. "\n\n"):gmatch("(.-)\n\n") do
    local where, name, args = ("\n" .. block):match("\nfunction ([%w_]+)%.([%w_]+)%(([^)]*)%) end%s*$")
    if where then
      local params, d = {}, defined[rename[where] or where]
      for param in block:gmatch("\n%-%-%-@param ([%w_]+)") do params[#params + 1] = param end
      d[name] = { count = (d[name] and d[name].count or 0) + 1, params = #params,
        good = block:find("^%-%-%-[^@]") and block:find("\n%-%-%-@return") and table.concat(params, ", ") == args }
    end
  end
end

t.case("each function has one definition with its documented parameters", function()
  local wrong = {}
  for where, module in pairs(loaded) do
    for name, value in pairs(module) do
      local d = defined[where][name]
      if type(value) == "function" and not (d and d.count == 1 and d.good and d.params == documented[where][name]) then
        wrong[#wrong + 1] = where .. "." .. name
      end
    end
    for name in pairs(defined[where]) do
      if type(module[name]) ~= "function" then wrong[#wrong + 1] = where .. "." .. name .. " (no such function)" end
    end
  end
  assert(#wrong == 0, "defined not as documented: " .. table.concat(wrong, ", "))
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
