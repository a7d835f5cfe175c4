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

-- (section: RFC 1630 escaping)


section("Text and data")
local pieces = k.string_split("eth0, eth1;;wlan0", ", ;")
print("split 'eth0, eth1;;wlan0' at ', ;':", table.concat(pieces, " | "))
print("joined again with '+':", k.string_join(pieces, "+"))
local coded = k.base64_encode("user:secret\0")
print("Base64 of 'user:secret' and a NUL byte:", coded)
print("decoded back, length:", #k.base64_decode(coded))
print("not Base64 decodes to", k.base64_decode("Zm9v!"))
print("sha256('abc') =", k.sha256("abc"))
print("sha256 of the first 3 bytes of 'abcdef' is the same:", k.sha256("abcdef", 3) == k.sha256("abc"))
local files = k.list_filenames("examples") or {}
table.sort(files)
print("regular files in examples/:", table.concat(files, ", "))
print("a missing folder lists as", k.list_filenames("no/such/folder"))
print("sleep(0) returns at once:", k.sleep(0))


-- (section: MAC address lists)


-- (section: device environment and templates)


-- (section: remote command)


print("\nEnd of the tour.")
