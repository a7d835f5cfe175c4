-- A tour of libkemluautils, run with:  build/kemlua examples/tour.lua
-- Each section shows one area of the library as a device script uses it.

local k = kemluautils
local function section(title) print(("\n== %s"):format(title)) end

section("Time conversion")
local start = k.lua_unixtimefromcall("05.03.24 14:07", "1:30")
print(("a call on 05.03.24 at 14:07 local time (TZ=%s) lasting 1:30 ends at Unix time")
  :format(os.getenv("TZ") or "unset: the system's zone"), start)
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


section("Device environment and templates")
-- The host answers from a device profile: the built-in one, or the JSON file
-- given with kemlua --profile FILE (see examples/profile-demo-at.json).
print("oem, country, ISO code:", k.oem(), k.country(), k.country_iso())
print("language, serial number:", k.language(), k.serialnumber())
print("default country? default language? (integers: test against 0)",
  k.country_is_default(), k.language_is_default())
print("is the country 'de'?", k.country_is("de"), "'France'?", k.country_is("France"))
print("predefined URL 'help':", k.predefinedurlget("help"), "unknown:", k.predefinedurlget("nope"))
print("localized text 1:", k.getLocalizedText(1), "unknown id:", k.getLocalizedText(999))
for _, lang in ipairs({ k.language(), "en" }) do
  local page = {}
  local unresolved = k.replacement("{{#1}}: {{device_name}} is {{status}}{{nope}}", lang,
    function(piece, out) out[#out + 1] = piece end, page)
  print(("template in %s: %q, %d unresolved"):format(lang, table.concat(page), unresolved))
end
print("a language the device does not allow:",
  select(2, pcall(k.replacement, "x", "xx", print, nil)))


section("The device's numbers")
-- The device's interpreter holds integers in 32 bits, so a time after 2038
-- does not fit there. kemlua --warn narrows the library's numbers as the
-- device does and names each line that would see another number.
local kemlua = arg and arg[-1] or "kemlua"
local call_ends = 'kemluautils.lua_unixtimefromcall("05.03.38 14:07", "1:30")'
print("a call on 05.03.38 at 14:07 lasting 1:30 ends here at", k.lua_unixtimefromcall("05.03.38 14:07", "1:30"))
io.stdout:flush()
os.execute(("%q --warn -e %q 2>&1")
  :format(kemlua, "print('and on the device at', " .. call_ends .. ") io.stdout:flush()"))


-- (section: remote command)
section("Remote command")
-- Start a stand-in for a device service (kemlua --serve) in the background.
local here = (arg and arg[0] or ""):match("^(.*)/[^/]*$") or "."
local peer_name = "tour_peer_" .. tostring(os.time())
local pidfile = os.tmpname()
os.execute(("%q --serve %s %q >/dev/null 2>&1 & echo $! > %q")
  :format(kemlua, peer_name, here .. "/peer_handler.lua", pidfile))
local f = io.open(pidfile)
local peer_pid = f and f:read("*l")
if f then f:close() end
os.remove(pidfile)
local function collect(command)
  local parts = {}
  local ok = k.qecmd(peer_name, command, function(data, t) t[#t + 1] = data end, parts)
  return ok, parts
end
for _ = 1, 300 do -- wait until the peer listens (a deadline, not a measure)
  if collect("echo ready") then break end
  os.execute("sleep 0.1")
end
local ok, parts = collect("count 3")
local joined = table.concat(parts, ""):gsub("\n", " ")
print("qecmd 'count 3' ->", ok, #parts .. " deliveries:", joined)
ok, parts = collect("echo hello, device")
print("qecmd 'echo ...' ->", ok, parts[1])
print("a command the peer fails ->", (collect("fail")))
print("a destination nobody serves ->", (collect("nobody_" .. peer_name)))
print("an error in the callback reaches the script:",
  pcall(k.qecmd, peer_name, "time", function() error("stop here", 0) end, nil))
if peer_pid then os.execute("kill " .. peer_pid) end


print("\nEnd of the tour.")
