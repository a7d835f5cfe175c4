-- Base64, SHA-256, split and join as scripts see them:
-- numbers as texts, byte strings whole, nil where the service gives nothing,
-- tables walked by value.
local t = require "testlib"
local abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"

-- The type of a table's number value after the table was joined.
local function kept(v) local list = { v } kemluautils.string_join(list, ",") return type(list[1]) end

t.rows({
  { "k.base64_encode(123)", "MTIz" },
  { "k.base64_decode(1234)", "\215m\248" }, { "k.base64_decode('Zm9vY')", nil },
  { "k.base64_decode(k.base64_encode('\\0\\1a\\255\\0'))", "\0\1a\255\0" },
  { "k.sha256(12345, 3) == k.sha256('123')", true },
  { "k.sha256('abc\\0d') == k.sha256('abc\\0de', 5) and k.sha256('abc\\0d') ~= abc", true },
  { "k.string_split(120340, 0)", { "12", "34" } },
  { "k.string_split('a;b,\\0,c', ',;')", { "a", "b" } },
  { "k.string_join({ 'a', 1, true, {}, 2.5, print, 'z' }, 0)", "a0102.50z" },
  { "k.string_join({ key = 'value' }, ',')", "value" }, { "k.string_join({ false }, ',')", "" },
  { "kept(12)", "number" },
}, { abc = abc, kept = kept })

t.done()
