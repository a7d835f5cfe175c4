-- The kemlua runner as a user meets it: arguments, exit status, standard
-- input, the prompt, the version, device profiles, the allocator report.
local t = require "testlib"
local q = t.quote

-- Runs kemlua with the shell words given: its output and exit status as one text.
local function kemlua(words, env)
  local out, status = t.shell((env or "") .. " " .. t.program("kemlua") .. " " .. words)
  return out .. "status " .. status
end
local script = t.file('print(select("#", ...), ..., arg[2], type(kiv.RFC1630_Escape), require "libkemluautils" == kemluautils)')
local profile = t.file([[{"oem": "demo", "country": "7", "country_iso": "at", "country_is_default": 0,
  "language_is_default": -3, "languages": ["it"], "language": "it", "texts": {"it": {"5": "cinque"}},
  "urls": {"12": "numbered"}}]])
local broken = t.file('{"oem": "demo",')
local queries = q("local k = kemluautils print(k.oem(), k.country_is(7), k.country_is('AT'), k.country_is_default(), "
  .. "k.language_is_default(), k.language(), k.getLocalizedText(5), k.getLocalizedText(1), k.predefinedurlget(12))")

t.rows({
  { "kemlua(q(script) .. ' one two')", "2\tone\ttwo\tfunction\ttrue\nstatus 0" },
  { "kemlua('-e ' .. q('local function f() error(\"boom\") end f()'))",
    function(out) return out:find("^kemlua: %(command line%):1: boom\nstack traceback:\n.*status 1$") end },
  { "kemlua('/nonexistent.lua')", function(out) return out:find("cannot open /nonexistent.lua.*status 1$") end },
  { "kemlua('--bogus')", function(out) return out:find("unrecognized option '%-%-bogus'.*usage: kemlua.*status 2$") end },
  { "kemlua('--version')", function(out) return out:find("^kemlua %d+%.%d+%.%d+ %(libkemluautils %d+%.%d+%.%d+, [^)]+%)\nstatus 0$") end },
  { "kemlua('- < ' .. q(script))", "0\tnil\tnil\tfunction\ttrue\nstatus 0" },
  { "kemlua('-i', 'printf \"x = 40 + 2\\\\nx\\\\nfor i = 1, 2 do\\\\nprint(i)\\\\nend\\\\nerror(1, 0)\\\\n\" |')",
    function(out) return out:find("\n> > 42\n> >> >> 1\n2\n> kemlua: 1\n.*\n> \nstatus 0$") end },
  { "kemlua('--profile ' .. q(profile) .. ' -e ' .. queries)", "demo\t1\t1\t0\t-3\tit\tcinque\tnil\tnumbered\nstatus 0" },
  { "kemlua('-e \"print(kemluautils.oem())\"', 'KEM_DEVICE_PROFILE=' .. q(profile))", "demo\nstatus 0" },
  { "kemlua('--profile ' .. q(broken))",
    "kemlua: device profile " .. broken .. ": not valid JSON: parse error: premature EOF\nstatus 2" },
  { "kemlua('-e \"kemluautils.base64_encode(1) kemluautils.lua_unixtime2iso8601(1)\"', 'KEM_MEM_REPORT=1')",
    "kemlua: 0 live blocks, 0 bytes\nstatus 0" },
}, { kemlua = kemlua, q = q, script = script, profile = profile, broken = broken, queries = queries })

for _, file in ipairs({ script, profile, broken }) do os.remove(file) end
t.done()
