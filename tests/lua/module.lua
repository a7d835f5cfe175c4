-- The module table and the argument checks of its functions and of kiv.RFC1630_Escape: the count
-- first, then each argument in the order checked, messages word for word behind the script
-- position (the escaper's without one). A refused call leaves nothing behind.
local t = require "testlib"
local A = "'AA:BB:CC:DD:EE:FF'"

-- Per function: the name in its messages, then pairs of arguments and message.
local checks = {
  lua_unixtimefromdays = { "pUnixtimefromdays", "1.5, 2", "requires 1 arguments",
    "2^63", "requires int for argument #1" },
  lua_unixtimefromcall = { "pUnixtimefromcall", "{}, {}, nil", "requires 2 arguments",
    "{}, nil", "requires string for argument #1", "'05.03.24 14:07', nil", "requires string for argument #2" },
  lua_unixtime2iso8601 = { "pUnixtime2iso8601", "0, 0", "requires 1 arguments", "0.5", "requires int for argument #1" },
  qecmd = { "lua_qecmd", "'x', 'y', print", "requires 4 arguments",
    "'x', {}, 'no function', nil", "third param must be a function (callback)",
    "{}, {}, print, {}", "second param must be string (command)",
    "true, 'y', print, 1", "first param must be string (destination)" },
  base64_encode = { "luautils_base64_encode", "{}, {}", "only one argument expected" },
  base64_decode = { "luautils_base64_decode", "{}", "input must be a string" },
  sha256 = { "luautils_sha256", "'a', 1, 2", "only one or two arguments expected",
    "{}, 2.5", "first argument must be a string", "'abc', 2.5", "second argument must be a number",
    "'abc', 0", "invalid second argument", "'abc', 4", "invalid second argument" },
  string_split = { "luautils_string_split", "{}, {}, {}", "only two arguments expected",
    "{}, {}", "input (1) must be a string", "'a', nil", "input (2) must be a string" },
  string_join = { "luautils_string_join", "{}, ',', nil", "only two arguments expected",
    "'a,b', {}", "input (1) must be a table", "{}, true", "input (2) must be a string" },
  list_filenames = { "luautils_list_filenames", "'/', '/'", "Only one argument expected.",
    "{}", "Input must be a string." },
  macaddrlist_parse = { "luautils_macaddrlist_parse", A .. ", ',', nil", "only two arguments expected",
    "{}, {}", "input (1) must be a string", A .. ", nil", "input (2) must be a string" },
  macaddrlist_string = { "luautils_macaddrlist_string", A .. ", {}", "input (1) must be a table",
    "{ 'bad' }, true", "input (2) must be a string" },
  macaddrlist_remove_macaddr = { "luautils_macaddrlist_remove_macaddr", "nil, 'bad'", "input (1) must be a table",
    "{ 'bad' }, {}", "input (2) must be a string",
    "{ 'bad element' }, 'bad target'", "input bad target is not MACADDR conform" },
  macaddrlist_append_macaddr_unique = { "luautils_macaddrlist_append_macaddr_unique",
    A .. ", 'bad'", "input (1) must be a table or nil", "nil, false", "input (2) must be a string",
    "{ 'bad element' }, 12345", "input 12345 is not MACADDR conform" },
  sleep = { "luautils_sleep", "-1, 2", "requires 1 arguments", "'1'", "requires int for argument #1",
    "-1", "value is out of range for argument #1", "65536", "value is out of range for argument #1" },
  country_is = { "luautils_country_is", "'Germany', 'x'", "requires 1 arguments",
    "{}", "requires string for argument #1" },
  predefinedurlget = { "luautils_predefinedurlget", "{}, {}", "requires 1 arguments",
    "nil", "requires string for argument #1" },
  ["kiv.RFC1630_Escape"] = { "lua_rfc1630_escape", "{}, 'no flag', nil", "requires 2 arguments",
    "{}, 'no flag'", "requires string for argument #1", "'x', 0", "requires boolean for argument #2" },
  replacement = { "luautils_replacement", "'a', 'de'", "requires 3 arguments", "{}, {}, {}", "requires 4 arguments",
    "{}, {}, nil, {}", "requires function for argument #3", "{}, nil, print, 1", "requires string for argument #-1",
    "{}, 'de', print, 1", "requires string for argument #-2", "'{{#1}}', 12, error, nil", "language not allowed 12" },
}

local rows = {
  { "(function() local n = 0 for _, f in pairs(k) do n = n + (type(f) == 'function' and 1 or 0) end return n end)()", 26 },
  { "k.sleep(0)", 0 }, { "k.oem(1, {}, nil)", "example" },
  { "k.getLocalizedText({})", t.err "bad argument #1 to 'getLocalizedText' (number expected, got table)" },
}
for name, check in pairs(checks) do
  local escaper = name:find("^kiv%.")  -- called by its full name; its messages have no position
  for i = 2, #check, 2 do
    local message = check[1] .. "() " .. check[i + 1]
    rows[#rows + 1] = { ((escaper and "" or "k.") .. "%s(%s)"):format(name, check[i]),
      escaper and { error = message } or t.err(message) }
  end
end
t.rows(rows)
t.done()
