-- kiv.RFC1630_Escape from a script: kemlua installs it; messages without a
-- position, raised before anything is allocated; results against an escaper
-- written with string.gsub. Running out of memory is tested natively
-- (tests/native/test_escape.cpp).
local t = require "testlib"
local kemtest = require "kemtest"
local esc = kiv.RFC1630_Escape

-- The same escaping in plain Lua, as a script author would write it.
local function gsub_escape(s, form)
  s = s:match("^[^%z]*")
  local special = form and "[%z\1-\31 !#%%&*+/;<>\127-\255]" or "[%z\1-\32#%%&;\127-\255]"
  s = s:gsub(special, function(c)
    if form and c == " " then return "+" end
    return string.format("%%%02x", c:byte())
  end)
  return s
end

t.case("kemlua installs the escaper into kiv", function()
  t.eq(type(esc), "function")
  t.eq(kiv.RFC1630_Escape, esc)
end)

t.case("argument faults raise their message with no position", function()
  local before = kemtest.alloc_count()
  local msgs = {
    count = "lua_rfc1630_escape() requires 2 arguments",
    text = "lua_rfc1630_escape() requires string for argument #1",
    flag = "lua_rfc1630_escape() requires boolean for argument #2",
  }
  t.raises_raw(function() return esc("x") end, msgs.count)
  t.raises_raw(function() return esc("x", true, nil) end, msgs.count)
  t.raises_raw(function() return esc({}, "not a flag", 3) end, msgs.count)
  t.raises_raw(function() return esc({}, true) end, msgs.text)
  t.raises_raw(function() return esc(print, true) end, msgs.text)
  for _, flag in ipairs({ 0, "true", {}, print }) do
    t.raises_raw(function() return esc("x", flag) end, msgs.flag)
  end
  t.raises_raw(function() return esc("x", nil) end, msgs.flag)
  t.eq(kemtest.alloc_count(), before, "allocations")
end)

t.case("the two modes on the texts scripts send", function()
  t.eq(esc("a b&c", true), "a+b%26c")
  t.eq(esc("a b&c", false), "a%20b%26c")
  t.eq(esc("name=J\195\188rgen M\195\188ller;id=5", true), "name=J%c3%bcrgen+M%c3%bcller%3bid=5")
  t.eq(esc("http://host/p?q=1+2#top", false), "http://host/p?q=1+2%23top")
  t.eq(esc("http://host/p?q=1+2#top", true), "http:%2f%2fhost%2fp?q=1%2b2%23top")
  t.eq(esc("", true), "")
  t.eq(esc(12, true), "12")
  t.eq(esc(1.5, false), "1.5")
  t.eq(esc("ab\0cd", false), "ab")
end)

t.case("every byte, and long texts, as the gsub escaper gives them", function()
  local all = {}
  for b = 1, 255 do all[#all + 1] = string.char(b) end
  all = table.concat(all)
  for _, form in ipairs({ true, false }) do
    t.eq(esc(all, form), gsub_escape(all, form))
    for _, n in ipairs({ 5, 6, 7, 100000 }) do
      local text = ("%"):rep(n) .. ("x y"):rep(n)
      t.eq(esc(text, form), gsub_escape(text, form), n .. " escapes")
    end
  end
end)

t.done()
