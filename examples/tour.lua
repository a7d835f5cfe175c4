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


-- (section: text and data)


-- (section: MAC address lists)


section("Device environment and templates")
-- The host answers from a device profile: the built-in one, or the JSON file
-- given with kemlua --profile FILE (see examples/profile-acme-at.json).
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


-- (section: remote command)


print("\nEnd of the tour.")
