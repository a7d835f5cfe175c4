-- A luacheck standard for device scripts: the globals that the device's
-- interpreter and kemlua give a script. Both are read-only, and only their
-- known fields may be read, so a misspelt function name is reported where it
-- stands. Installed as the Lua module kemluautils.luacheck; a .luacheckrc
-- takes it with
--   stds.kemluautils = require "kemluautils.luacheck"
--   std = "lua51+kemluautils"
-- A firmware whose kiv holds more functions adds them to the copy it gets:
--   stds.kemluautils.read_globals.kiv.fields.MyFunction = {}
local functions = {
  "lua_unixtimefromdays", "lua_unixtimefromcall", "lua_unixtime2iso8601", "qecmd",
  "base64_encode", "base64_decode", "sha256", "string_split", "string_join", "list_filenames",
  "macaddrlist_parse", "macaddrlist_string", "macaddrlist_remove_macaddr",
  "macaddrlist_append_macaddr_unique", "sleep", "country_is_default", "country_is", "country_iso",
  "country", "oem", "language_is_default", "language", "predefinedurlget", "serialnumber",
  "getLocalizedText", "replacement",
}

local fields = { _VERSION = { other_fields = true } }  -- a string, with its methods
for _, name in ipairs(functions) do fields[name] = {} end

return {
  read_globals = {
    kemluautils = { fields = fields },
    kiv = { fields = { RFC1630_Escape = {} } },
  },
}
