-- Text and data functions from a script: argument checks and their exact
-- messages, Base64, SHA-256, split and join. (Allocation failures are swept
-- natively, in tests/native/test_oom_sweep.cpp.)
local t = require "testlib"
local k = kemluautils

t.case("codecs and hash check counts before types", function()
  local a = t.args
  for _, f in ipairs({ "base64_encode", "base64_decode" }) do
    local name = "luautils_" .. f
    t.raises_all(k[f], name .. "() only one argument expected", a(), a("a", "b"), a({}, {}))
    t.raises_all(k[f], name .. "() input must be a string", a({}), a(true), a(print), a(nil))
  end
  t.raises_all(k.sha256, "luautils_sha256() only one or two arguments expected", a(), a("a", 1, 2))
  t.raises_all(k.sha256, "luautils_sha256() first argument must be a string", a({}, 2.5))
  t.raises_all(k.sha256, "luautils_sha256() second argument must be a number", a("abc", 2.5), a("abc", "2"))
end)

t.case("base64 from scripts: numbers, NUL bytes, white space, nil for non-Base64", function()
  t.eq(k.base64_encode(123), "MTIz")
  t.eq(k.base64_decode(1234), "\215m\248")
  t.eq(k.base64_encode(""), "")
  t.eq(k.base64_decode(" Zm9v\r\nYg"), "foob")
  t.eq(k.base64_decode("Zm9v*"), nil)
  t.eq(k.base64_decode("Zm9vY"), nil)
  local bytes = "\0\1a\255\0"
  t.eq(k.base64_decode(k.base64_encode(bytes)), bytes)
end)

t.case("sha256 of whole strings and of prefixes", function()
  local empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
  local abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
  t.eq(k.sha256(""), empty)
  t.eq(k.sha256("abc"), abc)
  t.eq(k.sha256("abcdef", 3), abc)
  t.eq(k.sha256("abc", 3), abc)
  t.eq(k.sha256("abc\0def"), k.sha256("abc\0defgh", 7))
  t.ok(k.sha256("abc\0def") ~= abc, "bytes after NUL are hashed")
  t.eq(k.sha256(123), k.sha256("123"))
  t.eq(k.sha256(12345, 3), k.sha256("123"))
end)

t.case("sha256 refuses lengths outside the string", function()
  local a = t.args
  t.raises_all(k.sha256, "luautils_sha256() invalid second argument", a("", 1), a("", 0), a("abc", 0),
    a("abc", -1), a("abc", 4))
  -- 2^32 + 1 would be 1 if it were cut to 32 bits; where lua_Integer has 32
  -- bits it is no integer at all
  local wide = require("kemtest").integer_bits > 32
  t.raises_all(k.sha256, "luautils_sha256() " .. (wide and "invalid second argument" or
    "second argument must be a number"), a("abc", 2 ^ 32 + 1), a("abc", -2 ^ 32 + 2))
end)

t.case("split and join check counts, then argument 1, then argument 2", function()
  local a, split, join = t.args, "luautils_string_split() ", "luautils_string_join() "
  t.raises_all(k.string_split, split .. "only two arguments expected", a("a"), a({}, {}, {}))
  t.raises_all(k.string_split, split .. "input (1) must be a string", a({}, {}))
  t.raises_all(k.string_split, split .. "input (2) must be a string", a("a", nil))
  t.raises_all(k.string_join, join .. "only two arguments expected", a({}), a({}, ",", nil))
  t.raises_all(k.string_join, join .. "input (1) must be a table", a("a,b", {}))
  t.raises_all(k.string_join, join .. "input (2) must be a string", a({}, true))
end)

t.case("split cuts at any separator character and makes no empty pieces", function()
  t.eq(k.string_split("a,b;c", ",;"), { "a", "b", "c" })
  t.eq(k.string_split(";;a,,b;,", ",;"), { "a", "b" })
  t.eq(k.string_split("a b", ""), { "a b" })
  t.eq(k.string_split("key=value", "="), { "key", "value" })
  t.eq(k.string_split(120340, 0), { "12", "34" })
  t.eq(k.string_split("a,b\0,c", ","), { "a", "b" }) -- the service reads up to the NUL
  t.eq(k.string_split("", ","), nil)
  t.eq(k.string_split(",,,", ","), nil)
  t.eq(k.string_split("", ""), nil)
end)

t.case("join takes string and number values in traversal order", function()
  t.eq(k.string_join({ "a", "b", "c" }, ", "), "a, b, c")
  t.eq(k.string_join({ "a", 1, true, {}, 2.5, print, "z" }, "-"), "a-1-2.5-z")
  t.eq(k.string_join({ "a", "b" }, ""), "ab")
  t.eq(k.string_join({ "a", "b" }, 0), "a0b")
  t.eq(k.string_join({}, ","), "")
  t.eq(k.string_join({ true, false }, ","), "")
  t.eq(k.string_join({ key = "value" }, ","), "value")
  local mixed, expected = { "x", "y", k1 = "a", k2 = 7, k3 = false }, {}
  for _, v in pairs(mixed) do
    if type(v) == "string" or type(v) == "number" then expected[#expected + 1] = tostring(v) end
  end
  t.eq(k.string_join(mixed, "|"), table.concat(expected, "|"))
  local numbers = { 12 }
  k.string_join(numbers, ",")
  t.eq(type(numbers[1]), "number", "the table keeps its number")
end)

t.case("join and split give back what they were given", function()
  local pieces = {}
  for i = 1, 5000 do pieces[i] = "p" .. i end
  local text = k.string_join(pieces, ",")
  t.eq(text, table.concat(pieces, ","))
  t.eq(k.string_split(text, ","), pieces)
end)

t.case("list_filenames and sleep check counts, types, then the range of the whole value", function()
  local a, list, sleep = t.args, "luautils_list_filenames() ", "luautils_sleep() "
  t.raises_all(k.list_filenames, list .. "Only one argument expected.", a(), a("/", "/"))
  t.raises_all(k.list_filenames, list .. "Input must be a string.", a({}))
  t.eq(k.list_filenames(-1), nil) -- numbers pass as paths
  t.raises_all(k.sleep, sleep .. "requires 1 arguments", a(), a(1, 2))
  t.raises_all(k.sleep, sleep .. "requires int for argument #1", a(1.5), a("1"), a(false), a(nil))
  t.raises_all(k.sleep, sleep .. "value is out of range for argument #1", a(-1), a(65536))
  -- 2^32 would be 0 and 2^32 + 1 one second if cut to 32 bits; where
  -- lua_Integer has 32 bits they are no integers at all
  local wide = require("kemtest").integer_bits > 32
  t.raises_all(k.sleep, sleep .. (wide and "value is out of range for argument #1" or "requires int for argument #1"),
    a(2 ^ 32), a(2 ^ 32 + 1), a(-2 ^ 32 + 1))
  t.eq(k.sleep(0), 0)
end)

t.case("list_filenames gives the regular files of a real folder, as find sees them", function()
  -- on 32-bit machines readdir needs 64-bit inode numbers and offsets for this
  local folder = assert(os.getenv("KEM_SOURCE_DIR"), "KEM_SOURCE_DIR is not set") .. "/examples"
  local names = k.list_filenames(folder)
  table.sort(names)
  local found = t.shell("cd " .. t.quote(folder) .. " && find . -maxdepth 1 -type f | sed 's|^./||' | LC_ALL=C sort")
  t.eq(table.concat(names, "\n") .. "\n", found)
end)

t.done()
