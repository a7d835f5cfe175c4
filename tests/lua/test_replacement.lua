-- Template replacement from a script: argument checks and their order,
-- pieces and pass-through values, the language, callbacks that raise.
-- Every case also proves that no block and no registry reference is left
-- behind. (Allocation failures: tests/native/test_oom_sweep.cpp.)
local t = require "testlib"
local kemtest = require "kemtest"
local k = kemluautils

-- Runs a template; returns the result and the pieces with their values.
local function pieces(text, language, value)
  local got = {}
  local r = k.replacement(text, language, function(piece, v)
    got[#got + 1] = piece
    got[#got + 1] = v == nil and "<nil>" or v
  end, value)
  return r, got
end

t.case("too few arguments, and exactly three, are refused before anything is read", function()
  local a, before, called = t.args, kemtest.alloc_count(), false
  t.raises_all(k.replacement, "luautils_replacement() requires 3 arguments", a(), a("a", "de"))
  t.raises_all(k.replacement, "luautils_replacement() requires 4 arguments",
    a("a", "de", function() called = true end), a({}, {}, {}))
  t.eq(kemtest.alloc_count(), before, "allocations")
  t.ok(not called, "callback not called")
end)

t.case("types are checked from the callback down, with stack positions", function()
  local a = t.args
  t.raises_all(k.replacement, "luautils_replacement() requires function for argument #3",
    a("a", "de", "not a function", nil), a({}, {}, nil, {}))
  t.raises_all(k.replacement, "luautils_replacement() requires string for argument #-1",
    a("a", {}, print, 1), a({}, nil, print, 1))
  t.raises_all(k.replacement, "luautils_replacement() requires string for argument #-2", a({}, "de", print, 1))
end)

t.case("a language that is not allowed is refused and leaves the language set", function()
  pieces("x", "en", 0)
  local called = false
  local function cb() called = true end
  -- a number in its string form
  for _, c in ipairs({ { "{{status}}", "xx", {} }, { "a", 12 }, { "a", "EN" } }) do
    t.raises(function() k.replacement(c[1], c[2], cb, c[3]) end, "luautils_replacement() language not allowed " .. c[2])
  end
  t.ok(not called, "callback not called")
  t.eq(k.getLocalizedText(1), "Welcome")   -- still English
end)

t.case("pieces go to the callback with the pass-through value", function()
  local value = {}
  local r, got = pieces("Hi {{device_name}}, {{#1}}!", "en", value)
  t.eq(r, 0)
  t.eq(#got, 10)
  t.eq({ got[1], got[3], got[5], got[7], got[9] }, { "Hi ", "Example Gateway 100", ", ", "Welcome", "!" })
  t.ok(rawequal(got[2], value) and rawequal(got[10], value), "the same value every time")

  r, got = pieces("{{status}}", "fr", nil)
  t.eq({ r, got }, { 0, { "Connecté", "<nil>" } })

  r, got = pieces(42, "de", false)      -- a number as the template
  t.eq({ r, got }, { 0, { "42", false } })

  r, got = pieces("", "de", 1)          -- no output: the callback is never called
  t.eq({ r, got }, { 0, {} })
end)

t.case("pieces with zero bytes arrive whole", function()
  local r, got = pieces("a{{%00}}b{{%00}}{{%FF}}", "de", 0)
  t.eq(r, 0)
  t.eq(got, { "a", 0, "\0", 0, "b", 0, "\0", 0, "\255", 0 })
end)

t.case("the language stays set after the call", function()
  pieces("", "fr", 0)
  t.eq(k.getLocalizedText(1), "Bienvenue")
  pieces("", "en", 0)
  t.eq(k.getLocalizedText(1), "Welcome")
end)

t.case("a callback that raises stops the run and its error reaches the script", function()
  local thrown = setmetatable({}, { __tostring = function() return "thrown" end })
  local seen = {}
  local ok, err = pcall(k.replacement, "one{{device_name}}three", "en", function(piece)
    seen[#seen + 1] = piece
    if #seen == 2 then error(thrown) end
  end, 5)
  t.eq(ok, false)
  t.ok(rawequal(err, thrown), "the error value itself")
  t.eq(seen, { "one", "Example Gateway 100" })
  t.eq(k.getLocalizedText(2), "Settings")  -- the language of the failed run stays

  -- a string error keeps the position of the callback, not of replacement
  err = t.error_of(function()
    return k.replacement("{{#1}}", "de", function() error("boom") end, nil)
  end)
  t.ok(err:match("^.-test_replacement%.lua:%d+: boom$"), err)

  -- a runtime error inside the callback
  err = t.error_of(function()
    return k.replacement("x", "de", function() local _ = nil + 1 end, {})
  end)
  t.ok(err:find("attempt to perform arithmetic", 1, true), err)

  -- and the next call works
  local r, got = pieces("{{#1}}", "de", 1)
  t.eq({ r, got }, { 0, { "Willkommen", 1 } })
end)

t.case("a nested replacement from inside the callback works", function()
  local out = {}
  k.replacement("<{{#1}}>", "en", function(piece, acc)
    acc[#acc + 1] = piece
    if piece == "Welcome" then
      k.replacement("{{status}}", "en", function(p, a) a[#a + 1] = "(" .. p .. ")" end, acc)
    end
  end, out)
  t.eq(table.concat(out), "<Welcome(Connected)>")
end)

t.case("five arguments: the first is ignored", function()
  local got = {}
  local r = k.replacement({}, "{{#2}}", "en", function(p, v) got[#got + 1] = p .. v end, "!")
  t.eq({ r, got }, { 0, { "Settings!" } })
end)

t.done()
