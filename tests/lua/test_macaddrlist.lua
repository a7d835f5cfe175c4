-- MAC address list functions from a script: argument checks, normal forms,
-- the table walk, rejected elements, and running out of memory.
local t = require "testlib"
local kemtest = require "kemtest"
local k = kemluautils

local A, B, C = "AA:BB:CC:DD:EE:FF", "00:11:22:33:44:55", "02:00:5E:10:00:01"

-- A deep copy, to prove that a table handed in is left as it was.
local function copy(v)
  if type(v) ~= "table" then return v end
  local c = {}
  for key, value in pairs(v) do c[key] = copy(value) end
  return c
end

local function sorted(list)
  local s = copy(list)
  table.sort(s)
  return s
end

local names = {
  macaddrlist_parse = "luautils_macaddrlist_parse",
  macaddrlist_string = "luautils_macaddrlist_string",
  macaddrlist_remove_macaddr = "luautils_macaddrlist_remove_macaddr",
  macaddrlist_append_macaddr_unique = "luautils_macaddrlist_append_macaddr_unique",
}

t.case("the count comes first, even when the first two arguments are valid", function()
  local valid = {
    macaddrlist_parse = { A, "," },
    macaddrlist_string = { { A }, "," },
    macaddrlist_remove_macaddr = { { A }, A },
    macaddrlist_append_macaddr_unique = { { A }, A },
  }
  for fn, args in pairs(valid) do
    local a = t.args
    t.raises_all(k[fn], names[fn] .. "() only two arguments expected",
      a(), a(args[1]), a(args[1], args[2], nil), a({}, {}, {}))
  end
end)

t.case("arguments are checked in order, the address of argument 2 before any element", function()
  local a, p, s, r, u = t.args, "macaddrlist_parse", "macaddrlist_string",
    "macaddrlist_remove_macaddr", "macaddrlist_append_macaddr_unique"
  for _, c in ipairs({
    { p, "input (1) must be a string", a({}, {}) }, { p, "input (2) must be a string", a(A, nil) },
    { s, "input (1) must be a table", a(A, {}) }, { s, "input (2) must be a string", a({ "bad" }, true) },
    { r, "input (1) must be a table", a(nil, "bad") }, { r, "input (2) must be a string", a({ "bad" }, {}) },
    { r, "input bad target is not MACADDR conform", a({ "bad element" }, "bad target") },
    { u, "input (1) must be a table or nil", a(A, "bad") }, { u, "input (2) must be a string", a(nil, false) },
    { u, "input aa:bb is not MACADDR conform", a({ "bad element" }, "aa:bb") },
    { u, "input 12345 is not MACADDR conform", a(nil, 12345) },
  }) do
    t.raises_all(k[c[1]], names[c[1]] .. "() " .. c[2], c[3])
  end
end)

t.case("parse: every notation comes back in one form; nil, not {}, when there is no list", function()
  t.eq(k.macaddrlist_parse("aa:bb:cc:dd:ee:ff, 00-11-22-33-44-55 ;0200.5E10.0001\taabbccddeeff", ",;\t"),
    { A, B, C, A })
  t.eq(k.macaddrlist_parse(112233445566, ","), { "11:22:33:44:55:66" })
  t.eq(k.macaddrlist_parse("aabbccddeeff9001122334455", 9), { A, B }) -- the number 9 as separator
  for _, case in ipairs({ { "", "," }, { " , ,", "," }, { "aabbccddeeff,nope", "," }, { "a:b:c:d:e:f", "," } }) do
    t.eq(k.macaddrlist_parse(case[1], case[2]), nil, case[1])
  end
end)

t.case("string: elements joined in table order, numbers as their text, other values skipped", function()
  t.eq(k.macaddrlist_string({ "aa-bb-cc-dd-ee-ff", 112233445566, "0200.5e10.0001" }, ", "),
    A .. ", 11:22:33:44:55:66, " .. C)
  t.eq(k.macaddrlist_string({ true, {}, print, A, false }, ","), A)
  t.eq(k.macaddrlist_string({}, ","), "")
  t.eq(k.macaddrlist_string({ true }, ","), "")
  t.eq(k.macaddrlist_string({ A, A, "aabbccddeeff" }, "|"), A .. "|" .. A .. "|" .. A) -- duplicates stay
  t.eq(k.macaddrlist_string({ A, B }, 7), A .. "7" .. B)
end)

t.case("a rejected element after good ones stops the call and names the element", function()
  local list = { A, B, C, "aabbccddeeff", true, "00:11:22:33:44:5", B }
  local before = copy(list)
  local msg = "() input 00:11:22:33:44:5 is not MACADDR conform"
  t.raises(function() k.macaddrlist_string(list, ",") end, names.macaddrlist_string .. msg)
  t.raises(function() k.macaddrlist_remove_macaddr(list, A) end, names.macaddrlist_remove_macaddr .. msg)
  t.raises(function() k.macaddrlist_append_macaddr_unique(list, A) end,
    names.macaddrlist_append_macaddr_unique .. msg)
  t.raises(function() k.macaddrlist_string({ A, 1.5 }, ",") end,
    names.macaddrlist_string .. "() input 1.5 is not MACADDR conform")
  t.eq(list, before)
end)

t.case("keys play no part and the table given is left unchanged", function()
  local list = { first = "aabbccddeeff", [10] = 112233445566, [2.5] = "0200.5e10.0001", flag = true }
  local before = copy(list)
  t.eq(sorted(k.macaddrlist_remove_macaddr(list, "02-00-5e-10-00-01")), { "11:22:33:44:55:66", A })
  local out = k.macaddrlist_append_macaddr_unique(list, B)
  t.eq(#out, 4)
  t.eq(out[4], B)
  t.eq(sorted(out), sorted({ A, B, C, "11:22:33:44:55:66" }))
  t.eq(list, before)
  t.eq(type(list[10]), "number") -- the walk turned only its own copy into a text
  t.ok(out ~= list, "a new table")
end)

t.case("remove: every equal address goes, an empty result is an empty table", function()
  t.eq(k.macaddrlist_remove_macaddr({ A, "aabbccddeeff", B, "aa-bb-cc-dd-ee-ff" }, "AABB.CCDD.EEFF"), { B })
  t.eq(k.macaddrlist_remove_macaddr({ "aa-bb-cc-dd-ee-ff", B, C }, C), { A, B })
  t.eq(k.macaddrlist_remove_macaddr({ B }, A), { B })
  t.eq(k.macaddrlist_remove_macaddr({}, A), {})
  t.eq(k.macaddrlist_remove_macaddr({ A }, A), {})
  t.eq(k.macaddrlist_remove_macaddr({ 112233445566 }, 112233445566), {})
end)

t.case("append unique: a new address goes last, a present one adds nothing, duplicates stay", function()
  t.eq(k.macaddrlist_append_macaddr_unique(nil, "aabbccddeeff"), { A })
  t.eq(k.macaddrlist_append_macaddr_unique({}, "aabbccddeeff"), { A })
  t.eq(k.macaddrlist_append_macaddr_unique({ A, B }, "0200.5e10.0001"), { A, B, C })
  t.eq(k.macaddrlist_append_macaddr_unique({ "aa-bb-cc-dd-ee-ff", B }, "aabbccddeeff"), { A, B })
  t.eq(k.macaddrlist_append_macaddr_unique({ A, B, A }, B), { A, B, A })
  t.eq(k.macaddrlist_append_macaddr_unique({ A, A }, C), { A, A, C })
end)

t.done()
