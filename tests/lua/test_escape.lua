-- kiv.RFC1630_Escape from a script: kemlua installs it; messages without a
-- position, raised before anything is allocated; both modes on typical texts.
-- Every byte value, the growth and running out of memory are tested natively
-- (tests/native/test_escape.cpp).
local t = require "testlib"
local kemtest = require "kemtest"
local esc = kiv.RFC1630_Escape

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
  t.raises_raw(function() esc("x") end, msgs.count)
  t.raises_raw(function() esc("x", true, nil) end, msgs.count)
  t.raises_raw(function() esc({}, "not a flag", 3) end, msgs.count)
  t.raises_raw(function() esc({}, true) end, msgs.text)
  t.raises_raw(function() esc(print, true) end, msgs.text)
  for _, flag in ipairs({ 0, "true", {}, print }) do
    t.raises_raw(function() esc("x", flag) end, msgs.flag)
  end
  t.raises_raw(function() esc("x", nil) end, msgs.flag)
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

t.done()
