-- The kemlua runner as a user meets it: options, arguments, exit status,
-- standard input, the prompt, the version and the allocator report.
local t = require "testlib"

local kemlua = t.program("kemlua")
local scratch = os.tmpname()

local sh, q = t.shell, t.quote

t.case("a script gets its arguments in arg and as ...", function()
  local f = assert(io.open(scratch, "w"))
  f:write('print(arg[0] == ' .. string.format("%q", scratch) .. ', arg[1], arg[2], select("#", ...), ...)\n')
  f:write('print(type(kiv), kemluautils == require "libkemluautils", type(kiv.RFC1630_Escape))\n')
  f:close()
  local out, status = sh(kemlua .. " " .. scratch .. " one two")
  t.eq(status, 0)
  t.eq(out, "true\tone\ttwo\t2\tone\ttwo\ntable\ttrue\tfunction\n")
end)

t.case("errors print with a traceback and give status 1", function()
  local out, status = sh(kemlua .. " -e " .. q("local function f() error('boom') end f()"))
  t.eq(status, 1)
  t.ok(out:find("^kemlua: %(command line%):1: boom\nstack traceback:\n"), out)
  out, status = sh(kemlua .. " /nonexistent/script.lua")
  t.eq(status, 1)
  t.ok(out:find("cannot open /nonexistent/script.lua", 1, true), out)
end)

t.case("bad options give the usage and status 2", function()
  local out, status = sh(kemlua .. " --bogus")
  t.eq(status, 2)
  t.ok(out:find("unrecognized option '--bogus'", 1, true) and out:find("usage: kemlua", 1, true), out)
  out, status = sh(kemlua .. " -e")
  t.eq(status, 2)
  out, status = sh(kemlua .. " --serve x")
  t.eq(status, 2)
  t.ok(out:find("--serve needs a handler script", 1, true), out)
  out, status = sh(kemlua .. " --help")
  t.eq(status, 0)
  t.ok(out:find("usage: kemlua", 1, true), out)
end)

t.case("--version names kemlua, the library and the interpreter", function()
  local out, status = sh(kemlua .. " --version")
  t.eq(status, 0)
  t.ok(out:match("^kemlua %d+%.%d+%.%d+ %(libkemluautils %d+%.%d+%.%d+, [^)]+%)\n$"), out)
end)

t.case("standard input is the script when no script is named", function()
  local out, status = sh("echo 'print(kemluautils.lua_unixtime2iso8601(0))' | " .. kemlua)
  t.eq({ out, status }, { "1970-01-01T00:00:00\n", 0 })
  out, status = sh("echo 'print(1 + 1)' | " .. kemlua .. " -")
  t.eq({ out, status }, { "2\n", 0 })
end)

t.case("the prompt prints values and continues incomplete statements", function()
  local input = "x = 40 + 2\nx\nfor i = 1, 2 do\nprint(i)\nend\nerror('oops', 0)\n'a', nil\n"
  local out, status = sh("printf %s " .. q(input) .. " | " .. kemlua .. " -i")
  t.eq(status, 0)
  t.ok(out:find("^kemlua [^\n]*\n> > 42\n> >> >> 1\n2\n> kemlua: oops\n"), out)
  t.ok(out:find("> a\tnil\n> \n$"), out)
  -- a line far longer than the reading buffer
  local f = assert(io.open(scratch, "w"))
  f:write('x = "', ("a"):rep(100000), '"\n#x\n')
  f:close()
  out, status = sh(kemlua .. " -i < " .. scratch)
  t.eq({ status, out:match("\n(.*)$") }, { 0, "> > 100000\n> \n" })
end)

t.case("KEM_MEM_REPORT=1 lists the live blocks at exit", function()
  local out, status = sh("KEM_MEM_REPORT=1 " .. kemlua .. " -e " ..
    q("kemluautils.macaddrlist_parse('aa:bb:cc:dd:ee:ff', ',') kemluautils.lua_unixtime2iso8601(1)"))
  t.eq({ out, status }, { "kemlua: 0 live blocks, 0 bytes\n", 0 })
end)

os.remove(scratch)
t.done()
