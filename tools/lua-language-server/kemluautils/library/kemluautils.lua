---@meta libkemluautils
-- Definitions of the kemluautils module and kiv.RFC1630_Escape for the Lua
-- language server: completion, hover texts and type checks in an editor.
-- Definitions only, never run: the functions are the native module's.
-- Each function returns one value; "nil", "false" and "0" results are the
-- ways a failing device service shows. Wrong arguments raise (the messages
-- are in docs/). Strings may be numbers wherever a string is asked for.

---The device scripts' utility module: the global that kemlua and the
---device's interpreter set, and the result of `require "libkemluautils"`.
---@class kemluautils
---@field _VERSION string the library's version
kemluautils = {}

---The local midnight that began today, moved back `n` days of 86400 s.
---@param n integer days back
---@return integer time # a Unix time; 0 for `n` < 1 or when local time is unknown
function kemluautils.lua_unixtimefromdays(n) end

---The Unix time of a call's local start (`DD.MM.YY hh:mm`) plus its duration (`h:m`).
---@param date string|number the start in local time, such as "05.03.24 14:07"
---@param duration string|number hours:minutes such as "1:30", or "" for none
---@return integer time # a Unix time; 0 when a text is malformed
function kemluautils.lua_unixtimefromcall(date, duration) end

---`YYYY-MM-DDTHH:MM:SS` of a Unix time, in UTC.
---@param t integer a Unix time
---@return string text # "0001-01-01T00:00:00" when `t` lies outside the years 0 to 9999
function kemluautils.lua_unixtime2iso8601(t) end

---Sends a command to another process and calls `callback(data, value)` for each delivery of its answer.
---@generic V
---@param destination string|number the endpoint's name
---@param command string|number the command text, sent up to its first zero byte
---@param callback fun(data: string, value: V) called once per delivery; an error it raises ends the call and reaches the caller
---@param value V passed to every call of `callback`, nil included
---@return boolean ok # true when the exchange ended with success; false when nobody (trusted) serves `destination`, or the peer failed, closed early, sent something malformed or stayed silent
function kemluautils.qecmd(destination, command, callback, value) end

---Base64 of the bytes of a string (standard alphabet, padded, one line).
---@param data string|number
---@return string? text # nil only when memory runs out
function kemluautils.base64_encode(data) end

---The bytes a Base64 text stands for; white space is skipped, padding may be left out.
---@param text string|number
---@return string? data # nil for a text that is no Base64
function kemluautils.base64_decode(text) end

---The SHA-256 of a string, or of its first `length` bytes, as 64 lower-case hex digits.
---@param data string|number
---@param length? integer from 1 to `#data`
---@return string digest
function kemluautils.sha256(data, length) end

---The pieces of a text between the characters of `separators` (no empty pieces).
---@param text string|number ends at its first zero byte
---@param separators string|number a set of characters; "" gives the whole text as one piece
---@return string[]? pieces # nil when there is no piece
function kemluautils.string_split(text, separators) end

---The string and number values of a table joined with `separator`, in the order `pairs` visits them.
---@param table table
---@param separator string|number
---@return string? text # "" for a table without such a value; nil only when memory runs out
function kemluautils.string_join(table, separator) end

---The names of the regular files of a directory, in the order the file system gives them.
---@param path string|number
---@return string[]? names # {} for a directory without files; nil when `path` cannot be opened as a directory
function kemluautils.list_filenames(path) end

---The MAC addresses of a text, in the normal form AA:BB:CC:DD:EE:FF.
---@param text string|number
---@param separators string|number a set of characters that cut the text
---@return string[]? addresses # nil when a piece is no address or there is no piece (or memory runs out)
function kemluautils.macaddrlist_parse(text, separators) end

---The addresses of a table in the normal form, with `separator` between each two; other values are skipped.
---@param list table
---@param separator string|number
---@return string? text # "" for a table without addresses; nil only when memory runs out
function kemluautils.macaddrlist_string(list, separator) end

---A new array of a table's addresses without any that equals `address`.
---@param list table
---@param address string|number
---@return string[]? addresses # possibly empty; nil only when memory runs out
function kemluautils.macaddrlist_remove_macaddr(list, address) end

---A new array of a table's addresses with `address` last, unless an equal one is there already.
---@param list table? nil for none
---@param address string|number
---@return string[]? addresses # nil only when memory runs out
function kemluautils.macaddrlist_append_macaddr_unique(list, address) end

---Blocks the script for whole seconds.
---@param seconds integer 0 to 65535
---@return integer left # 0, or the seconds left when a signal ended the sleep early
function kemluautils.sleep(seconds) end

---Whether the country is the factory default (an integer: 0 is true in Lua, so compare with 0).
---@return integer # 1 when it is, else 0 (a device profile may give any 32-bit integer)
function kemluautils.country_is_default() end

---Whether a text names the device's country: its name exactly, or its ISO code ignoring case.
---@param text string|number
---@return integer # 1 when it does, else 0 (compare with 0)
function kemluautils.country_is(text) end

---The device's ISO country code, such as "DE".
---@return string
function kemluautils.country_iso() end

---The name of the device's country.
---@return string
function kemluautils.country() end

---The device's OEM identifier.
---@return string
function kemluautils.oem() end

---Whether the language is the factory default (an integer: 0 is true in Lua, so compare with 0).
---@return integer # 1 when it is, else 0 (a device profile may give any 32-bit integer)
function kemluautils.language_is_default() end

---The device's language code, such as "de".
---@return string
function kemluautils.language() end

---A predefined URL of the device by name.
---@param name string|number
---@return string? url # nil for a name the device does not know
function kemluautils.predefinedurlget(name) end

---The device's serial number.
---@return string
function kemluautils.serialnumber() end

---A localized text by number, in the current language (the device's, or the last `replacement`'s).
---@param id integer|string
---@return string? text # nil for an unknown id
function kemluautils.getLocalizedText(id) end

---Runs a template in one of the device's languages and calls `callback(piece, value)` for each piece of output. The language stays set.
---@generic V
---@param template string|number
---@param language string|number one of the device's languages, else the call raises
---@param callback fun(piece: string, value: V) called once per piece; an error it raises ends the call and reaches the caller
---@param value V passed to every call of `callback`, nil included
---@return integer unresolved # the number of references the service could not resolve; 0 when all resolved
function kemluautils.replacement(template, language, callback, value) end

---The device host's table of native functions.
---@class kiv
kiv = {}

---Percent-escapes a text for a URL: form mode for the names and values of a query (space as "+"), plain mode for path segments. Raises without a script position.
---@param text string|number ends at its first zero byte
---@param form boolean true: form mode; false: plain mode
---@return string escaped # the text unchanged when memory runs out
function kiv.RFC1630_Escape(text, form) end

return kemluautils
