-- A tour of libkemluautils, run with:  build/kemlua examples/tour.lua
-- Each section shows one area of the library as a device script uses it.

local k = kemluautils
local function section(title) print(("\n== %s"):format(title)) end

section("Time conversion")
local start = k.lua_unixtimefromcall("05.03.24 14:07", "1:30")
print("a call on 05.03.24 at 14:07 lasting 1:30 ends at Unix time", start)
print("that is, in UTC,", k.lua_unixtime2iso8601(start))
print("the Unix epoch:", k.lua_unixtime2iso8601(0))
print("local midnight a week ago:", k.lua_unixtime2iso8601(k.lua_unixtimefromdays(7)))
print("a malformed date gives 0:", k.lua_unixtimefromcall("2024-03-05 14:07", ""))

section("RFC 1630 escaping (kiv.RFC1630_Escape)")
local escape = kiv.RFC1630_Escape
print("form mode, for a query string:", escape("name=Jürgen & Co/2", true))
print("plain mode, for a URL path:   ", escape("/files/a b#1;2", false))
print("a number goes in its text form:", escape(12.5, true))
print("the text ends at a zero byte:  ", escape("abc\0def", false))


-- (section: text and data)


section("MAC address lists")
do
  local typed = "aa:bb:cc:dd:ee:ff, 00-11-22-33-44-55; 0200.5e10.0001"
  local allowed = k.macaddrlist_parse(typed, ",;")
  print("parsed from people's notations:", table.concat(allowed, " "))
  print("a text with a bad piece gives", k.macaddrlist_parse("aabbccddeeff, nope", ","))
  allowed = k.macaddrlist_append_macaddr_unique(allowed, "0011.2233.4455")
  print("appending one already there keeps", #allowed, "addresses")
  allowed = k.macaddrlist_append_macaddr_unique(allowed, "0a1b2c3d4e5f")
  allowed = k.macaddrlist_remove_macaddr(allowed, "AA-BB-CC-DD-EE-FF")
  print("after adding one and removing one:", k.macaddrlist_string(allowed, ", "))
  print("a typo is refused:", select(2, pcall(k.macaddrlist_string, { "aa:bb:cc:dd:ee" }, ",")))
end


-- (section: device environment and templates)


-- (section: remote command)


print("\nEnd of the tour.")
