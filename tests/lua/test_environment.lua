-- Environment queries and localized texts from a script, on the built-in
-- profile and, through kemlua --profile, on profile files.
local t = require "testlib"
local k = kemluautils

local kemlua = t.program("kemlua")
local source = os.getenv("KEM_SOURCE_DIR") or "."

local quote = t.quote

-- Runs kemlua with the shell words given; returns its output and exit status.
local function kemlua_run(words, env)
  return t.shell((env or "") .. " " .. kemlua .. " " .. words)
end

-- Writes text to a new temporary file; returns its name.
local function temp_file(text)
  local name = os.tmpname()
  local f = assert(io.open(name, "wb"))
  f:write(text)
  f:close()
  return name
end

t.case("the built-in device answers every query", function()
  t.eq(k.oem(), "example")
  t.eq(k.country(), "Germany")
  t.eq(k.country_iso(), "DE")
  t.eq(k.language(), "de")
  t.eq(k.serialnumber(), "EX0000000001")
  t.eq(k.predefinedurlget("help"), "https://help.example.net/")
  t.eq(k.predefinedurlget("nope"), nil)
  -- yes/no answers are integers: 0 is true in a condition
  t.eq(k.country_is_default(), 1)
  t.eq(k.language_is_default(), 1)
  t.eq(k.country_is("Germany"), 1)
  t.eq(k.country_is("dE"), 1)
  t.eq(k.country_is("germany"), 0)
end)

t.case("functions without arguments ignore what they are given", function()
  t.eq(k.oem(1, {}, nil), "example")
  t.eq(k.country_is_default("x"), 1)
  t.eq(k.serialnumber(function() end), "EX0000000001")
end)

t.case("country_is and predefinedurlget check count, then type", function()
  for name, fn in pairs({ luautils_country_is = k.country_is,
                          luautils_predefinedurlget = k.predefinedurlget }) do
    local a = t.args
    t.raises_all(fn, name .. "() requires 1 arguments", a(), a("help", "x"), a({}, {}))
    t.raises_all(fn, name .. "() requires string for argument #1", a({}), a(nil), a(true))
  end
end)

t.case("getLocalizedText gives the text of an id, nil for an unknown one", function()
  t.eq(k.getLocalizedText(1), "Willkommen")
  t.eq(k.getLocalizedText("3"), "Abmelden")  -- a numeric string is an id
  t.eq(k.getLocalizedText(2, "ignored"), "Einstellungen")
  t.eq(k.getLocalizedText(0), nil)
  t.eq(k.getLocalizedText(-1), nil)
  local err = t.error_of(function() k.getLocalizedText({}) end)
  t.ok(err:find("bad argument #1 to 'getLocalizedText' (number expected, got table)", 1, true), err)
  err = t.error_of(function() k.getLocalizedText("one") end)
  t.ok(err:find("bad argument #1", 1, true), err)
end)

t.case("a profile file makes kemlua behave like that device", function()
  local profile = temp_file([[{"oem": "demo", "country": "7", "country_iso": "at",
    "country_is_default": 0, "language_is_default": -3, "languages": ["it"],
    "language": "it", "texts": {"it": {"5": "cinque"}}, "urls": {"12": "numbered"}}]])
  local out, status = kemlua_run("--profile " .. quote(profile) .. [[ -e "
    local k = kemluautils
    print(k.oem(), k.country(), k.country_is(7), k.country_is('AT'), k.country_is_default(),
      k.language_is_default(), k.language(), k.getLocalizedText(5), k.getLocalizedText(1),
      k.predefinedurlget(12), k.serialnumber())"]])
  t.eq(status, 0, out)
  -- texts replace the built-in ones as a whole: text 1 is gone
  t.eq(out, "demo\t7\t1\t1\t0\t-3\tit\tcinque\tnil\tnumbered\tEX0000000001\n")
  -- the variable does the same when --profile is not given
  out, status = kemlua_run([[-e "print(kemluautils.oem())"]], "KEM_DEVICE_PROFILE=" .. quote(profile))
  t.eq({ out, status }, { "demo\n", 0 })
  os.remove(profile)
end)

t.case("kemlua refuses a profile it cannot use, naming the file and the problem", function()
  local bad = temp_file('{"oem": "demo",')
  local out, status = kemlua_run("--profile " .. quote(bad) .. [[ -e "print('ran')"]])
  t.eq(status, 2)
  t.eq(out, "kemlua: device profile " .. bad .. ": not valid JSON: parse error: premature EOF\n")
  local wrong = temp_file('{"languages": "de"}')
  out, status = kemlua_run([[-e "print('ran')"]], "KEM_DEVICE_PROFILE=" .. quote(wrong))
  t.eq(status, 2)
  t.eq(out, "kemlua: device profile " .. wrong .. ': field "languages": must be an array of strings\n')
  out, status = kemlua_run("--profile /nonexistent/p.json")
  t.eq({ out, status }, { "kemlua: device profile /nonexistent/p.json: cannot read the file: "
    .. "No such file or directory\n", 2 })
  out, status = kemlua_run("--profile")
  t.eq(status, 2)
  os.remove(bad)
  os.remove(wrong)
end)

t.case("the example page renders in two languages", function()
  local out, status = kemlua_run("--profile " .. quote(source .. "/examples/profile-demo-at.json")
    .. " " .. quote(source .. "/examples/page.lua"))
  t.eq(status, 0, out)
  t.ok(out:find("-- de\n<h1>Übersicht: Example Router 5</h1>\n<p>Internet: verbunden</p>", 1, true), out)
  t.ok(out:find("-- en\n<h1>Overview: Example Router 5</h1>\n<p>Internet: connected</p>", 1, true), out)
  t.ok(out:find('<a href="https://support.example.org/at/">Help</a>', 1, true), out)
  t.ok(not out:find("unresolved", 1, true), out)
end)

t.done()
