-- MAC address list functions as scripts see them: tables walked by value in
-- traversal order, numbers as their text, other values skipped, the first
-- element that is no address named, the table given left as it was.
local t = require "testlib"
local A, B, C = "AA:BB:CC:DD:EE:FF", "00:11:22:33:44:55", "02:00:5E:10:00:01"
local bad = { A, "aabbccddeeff", true, "00:11:22:33:44:5", B }

-- f(list, x) must leave list as it was; its result.
local function same(f, list, x)
  local copy = {}
  for key, value in pairs(list) do copy[key] = value end
  local r = kemluautils[f](list, x)
  t.eq(list, copy)
  return r
end
local function sorted(list) table.sort(list) return list end

t.rows({
  { "k.macaddrlist_parse('aa:bb:cc:dd:ee:ff, 0011.2233.4455;02-00-5e-10-00-01', ',;')", { A, B, C } },
  { "k.macaddrlist_parse(112233445566, ',')", { "11:22:33:44:55:66" } },
  { "k.macaddrlist_parse('aabbccddeeff9001122334455', 9)", { A, B } },
  { "k.macaddrlist_string({ 'aa-bb-cc-dd-ee-ff', 112233445566, true, {}, A }, 7)",
    A .. "711:22:33:44:55:667" .. A },
  { "k.macaddrlist_string(bad, ',')", t.err "luautils_macaddrlist_string() input 00:11:22:33:44:5 is not MACADDR conform" },
  { "k.macaddrlist_remove_macaddr(bad, A)",
    t.err "luautils_macaddrlist_remove_macaddr() input 00:11:22:33:44:5 is not MACADDR conform" },
  { "k.macaddrlist_append_macaddr_unique({ A, 1.5 }, A)",
    t.err "luautils_macaddrlist_append_macaddr_unique() input 1.5 is not MACADDR conform" },
  { "sorted(same('macaddrlist_remove_macaddr', { A, 'aabbccddeeff', B, x = 'aa-bb-cc-dd-ee-ff', [2.5] = C },"
    .. " 'AABB.CCDD.EEFF'))", { B, C } },
  { "same('macaddrlist_remove_macaddr', { 112233445566 }, 112233445566)", {} },
  { "same('macaddrlist_append_macaddr_unique', { A, B, A }, '0200.5e10.0001')", { A, B, A, C } },
  { "k.macaddrlist_append_macaddr_unique({ 'aa-bb-cc-dd-ee-ff', B }, 'aabbccddeeff')", { A, B } },
  { "k.macaddrlist_append_macaddr_unique(nil, 'aabbccddeeff')", { A } },
}, { A = A, B = B, C = C, bad = bad, same = same, sorted = sorted })

t.done()
