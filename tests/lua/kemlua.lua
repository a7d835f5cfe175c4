-- The kemlua runner as a user meets it: arguments, exit status, standard
-- input, the prompt (on a terminal through tmux: "=expr", the history file, Tab
-- completion, Ctrl-C), the version, device profiles.
local t = require "testlib"
local q = t.quote

-- Runs kemlua with the shell words given: its output and exit status as one text.
local function kemlua(words, env)
  local out, status = t.shell((env or "") .. " " .. t.program("kemlua") .. " " .. words)
  return out .. "status " .. status
end
local script = q('print(select("#", ...), ..., arg[2], type(kiv.RFC1630_Escape), '
  .. 'require "libkemluautils" == kemluautils)')

-- Where an address space limit lets kemlua start (not under ASan, valgrind
-- or an emulator): a statement that runs out of memory, then x = nil.
local oom = "SKIP"
if select(2, t.shell("(ulimit -v 40000 && exec " .. t.program("kemlua") .. " -e '')")) == 0 then
  local out, status = t.shell("printf 'x = {} for i = 1, 1e7 do x[i] = kemluautils.base64_encode((\"x\"):rep(100)) end"
    .. "\\nx = nil\\nprint(1)\\n' | (ulimit -v 40000 && exec " .. t.program("kemlua") .. " -i)")
  oom = out .. "status " .. status
end

t.rows({
  { "kemlua('- one two', 'printf %s ' .. script .. ' |')", "2\tone\ttwo\tfunction\ttrue\nstatus 0" },
  { "kemlua('-e ' .. q('local function f() error(\"boom\") end f()'))",
    function(out) return out:find("^kemlua: %(command line%):1: boom\nstack traceback:\n.*status 1$") end },
  { "kemlua('-e ' .. q('error()'))", "status 1" },  -- a nil error prints nothing, as with lua5.1
  { "kemlua('/nonexistent.lua')", function(out) return out:find("cannot open /nonexistent.lua.*status 1$") end },
  { "kemlua('--bogus')", function(out) return out:find("unrecognized option '%-%-bogus'.*usage: kemlua.*status 2$") end },
  { "kemlua('--serve x')", function(out) return out:find("%-%-serve needs a handler script.*status 2$") end },
  { "kemlua('--version')", function(out) return out:find("^kemlua %d+%.%d+%.%d+ %(libkemluautils %d+%.%d+%.%d+, [^)]+%)\nstatus 0$") end },
  { "kemlua('-i', 'printf \"x = 4\\\\0 print(2)\\\\nx = 40 + 2\\\\nx\\\\nfor i = 1, 2 do\\\\nprint(i)\\\\nend\\\\n"
    .. "error(1, 0)\\\\n\" |')",
    function(out) return out:find("\n> > > 42\n> >> >> 1\n2\n> kemlua: 1\n.*\n> \nstatus 0$") end },  -- a zero byte cuts its line
  { "kemlua('-i', 'printf \"print = nil setmetatable(_G, { __index = function(_, k) error(k, 0) end })"
    .. "\\\\n=1\\\\ndo io.write(3) end\\\\n\" |')",
    function(out) return out:find("\n> > kemlua: print\n> 3> \nstatus 0$") end },  -- an error outside the statement's call
  { "oom", function(out)  -- out of memory at the prompt: reported, and x = nil gives the memory back
    return out == "SKIP" or out:find("\n> kemlua: not enough memory\n> > 1\n> \nstatus 0$") end },
  { "kemlua('-e \"print(kemluautils.oem())\"', 'KEM_DEVICE_PROFILE=' .. profile)", "demo\nstatus 0" },
  { "kemlua('--profile ' .. q(t.source .. '/README.md'))",
    function(out) return out:find("^kemlua: device profile .*README%.md: not valid JSON: .*status 2$") end },
  { "kemlua('--warn -', 'printf %s ' .. q(decodes) .. ' |')", function(out)  -- once per line, function and kind
    local lines = "stdin:2: json2lua integer 3000000000 becomes %-1294967296 on the device\n.*stdin:3: json2lua integer"
      .. ".*stdin:3: json2lua number 0%.1 becomes 0%.100000001 on the device\n"
    return select(2, out:gsub("becomes", "")) == 3 and out:find(lines)
      and out:find("device numbers: 5 values would differ on the device %(3 warnings%): json2lua 5\n%-1294967296\nstatus 0$")
  end },
  { "kemlua('--device-numbers=maybe')", "kemlua: device numbers mode 'maybe': use on, off or warn\nstatus 2" },
  { "kemlua('--device-numbers= -e 1')", "kemlua: --device-numbers= needs a mode: use on, off or warn\nstatus 2" },
  { "kemlua(\"--profile '' -e 1\")", "kemlua: --profile needs a file name, not an empty one\nstatus 2" },
  { "kemlua('--warn -', 'printf %s ' .. q(sites) .. ' |')", function(out)  -- no warning repeats, also past the sites tracked
    return select(2, out:gsub("becomes", "")) == 768 and out:find("%(768 warnings; 64 at sites past the first 768 not reported%)")
  end },
  { "{ select(2, json.encode({ '\\255' })), select(2, json.encode({ [2] = 'b', ['2'] = 'c' })), "
    .. "select(2, json.encode({ ['a\\0b'] = 1, a = 2 })), select(2, json.encode(5)) }",  -- what decode would not give back
    { "the text would not decode: lexical error: invalid bytes in UTF8 string.", 'member name "2" is given twice in one object',
      'member name "a" is given twice in one object', "a number is no JSON object or array" } },
  { "kemlua('-e 1', 'KEM_DEVICE_NUMBERS=yes')",
    "kemlua: device numbers mode 'yes' (KEM_DEVICE_NUMBERS): use on, off or warn\nstatus 2" },
}, { kemlua = kemlua, q = q, script = script, profile = q(t.source .. "/examples/profile-demo-at.json"), t = t,
  json = require "kemlua.json", oom = oom,
  sites = 'local json = require "kemlua.json"\nfor i = 1, 2 do\n' .. ('json.decode("[3000000000]")\n'):rep(800) .. "end\n",
  decodes = 'local json = require "kemlua.json"\nfor i = 1, 3 do json.decode("[3000000000]") end\n'
    .. 'print(json.decode("[3000000000, 0.1]")[1])\n' })

-- The history file (KEM_HISTORY), on the terminal that script(1) gives kemlua: each row
-- prepares a fresh folder, types its keys, =1+1 and os.exit() (whole lines: typed before
-- libedit takes the terminal, they still arrive, where an end of input would be lost), and
-- checks the screen and then the files.
local histories = {
  { "a missing file is created, private to the user", "", "new", "", "cat new; stat -c %a new",
    "_HiStOrY_V2_\n=1+1\nos.exit()\n600\n" },
  { "an empty file becomes one, its mode kept", ": >empty; chmod 644 empty", "empty", "", "cat empty; stat -c %a empty",
    "_HiStOrY_V2_\n=1+1\nos.exit()\n644\n" },
  { "a file that is no history is left as it was", "echo keep >notes; chmod 644 notes", "notes",
    "history file notes: not a history file", "cat notes; stat -c %a notes", "keep\n644\n" },
  { "a link is not followed", "echo keep >notes; ln -s notes link", "link", "history file link: a symbolic link",
    "cat notes", "keep\n" },
  { "a FIFO is not opened", "mkfifo fifo", "fifo", "history file fifo: not a regular file", "stat -c %F fifo", "fifo\n" },
  { "a device is not read", "", "/dev/zero", "history file /dev/zero: not a regular file", "true", "" },
  { "/dev/null keeps none and stays as it was", "stat -c %a%U /dev/null >mode", "/dev/null", "",
    "stat -c %a%U /dev/null | cmp - mode && echo same", "same\n" },
  { "another user's file is not used", "echo _HiStOrY_V2_ >theirs; chown 65534 theirs || echo SKIP", "theirs",
    "history file theirs: owned by another user", "cat theirs", "_HiStOrY_V2_\n" },
  { "entries are read as libedit wrote them, and the file is cut to the last 1000",
    "(echo _HiStOrY_V2_; seq -f =%g 2100; printf '%s\\n' '=\\0402*\\0403') >long", "long\n\27[A\n", "> = 2%* 3\n6\n",
    "wc -l <long", "1004\n" },
}
if os.execute("command -v script >/dev/null") ~= 0 or os.getenv("KEM_HAVE_LIBEDIT") ~= "ON" then
  print("SKIP the history file: no script(1), or kemlua without line editing")
else
  for _, row in ipairs(histories) do
    t.case(row[1], function()
      local dir = t.shell("mktemp -d"):match("%S+")
      local setup = t.shell("cd " .. q(dir) .. " && " .. (row[2] ~= "" and row[2] or "true"))
      local name, keys = row[3]:match("^([^\n]*)\n?(.*)$")
      local screen = t.shell(("cd %s && printf '%%s=1+1\\nos.exit()\\n' %s | script -qec %s /dev/null"):format(q(dir), q(keys),
        q("KEM_HISTORY=" .. q(name) .. " " .. t.program("kemlua")))):gsub("\r", "")
      local after = t.shell("cd " .. q(dir) .. " && { " .. row[5] .. "; }")
      os.execute("rm -rf " .. q(dir))
      if setup:find("SKIP") then return end
      local refusal = row[4] ~= "" and not row[4]:find("\n") and "kemlua: " .. row[4]:gsub("%p", "%%%0") or nil
      -- the keys typed ahead echo before or after the banner
      assert(screen:find(refusal or row[4] ~= "" and row[4] or "kemlua [^\n]*\n.-> =1%+1\n2\n"), screen)
      assert(refusal or not screen:find("history file"), screen)
      t.eq(after, row[6])
    end)
  end
end

-- The prompt: each row sends keys (a capitalised word is a key's name), sends
-- Ctrl-C once `running` shows when it is given, then waits for the result to
-- show after what the screen showed before.
local prompt, interrupted = "\n>%s*$", "interrupted!.*\n>%s*$"
local rows = {
  { "the banner and the prompt", {}, "^kemlua .*" .. prompt },
  { "=expr prints the values", { "=1+2", "Enter" }, "=1%+2\n3" .. prompt },
  { "Up recalls the last line", { "Up", "Enter" }, "=1%+2\n3" .. prompt },
  { "Tab completes a global, then a field", { "=kemluaut", "Tab", "sha", "Tab", '("abc")', "Enter" },
    '=kemluautils%.sha256%("abc"%)\nba7816bf%x+' .. prompt },
  { "Ctrl-C stops a loop", { 'print("running") while true do end', "Enter" }, interrupted, running = "\nrunning$",
    compiled = true },
  { "Ctrl-C cuts a sleep short", { 'print("sleeping") kemluautils.sleep(100)', "Enter" }, interrupted,
    running = "\nsleeping$" },
  { "the history file keeps the lines", { "=io.open(os.getenv('KEM_HISTORY')):read('*a')", "Enter" },
    "\n=1%+2\n.*kemluautils%.sleep%(100%).*" .. prompt },
}
local dir = t.shell("mktemp -d"):match("%S+")
local function tmux(args) return t.shell("tmux -S " .. q(dir .. "/tmux") .. " " .. args) end
-- Waits for pattern in the screen after its first `from` characters; the screen's length.
local function expect(from, pattern)  -- a deadline against a hang, not a measure of speed
  local screen
  for _ = 1, 1200 do
    screen = tmux("capture-pane -p -J -S - -t prompt"):gsub("%s+$", "")
    if screen:find(pattern, from + 1) then return #screen end
    os.execute("sleep 0.05")
  end
  error("expected " .. pattern .. " on the screen, which shows " .. screen:sub(from + 1), 2)
end
if os.execute("command -v tmux >/dev/null") ~= 0 or os.getenv("KEM_HAVE_LIBEDIT") ~= "ON" then
  print("SKIP the prompt on a terminal: no tmux, or kemlua without line editing")
else
  tmux(("new-session -d -s prompt -x 150 -y 50 %s"):format(q("KEM_HISTORY=" .. q(dir .. "/history") .. " "
    .. t.program("kemlua"))))
  local shown = 0
  for _, row in ipairs(rows) do
    t.case(row[1], function()
      if row.compiled and jit then return end  -- LuaJIT runs no hooks in compiled code
      for _, key in ipairs(row[2]) do
        tmux(("send-keys -t prompt %s%s"):format(key:find("^[A-Z][%w-]*$") and "" or "-l ", q(key)))
      end
      if row.running then
        expect(shown, row.running)
        tmux("send-keys -t prompt C-c")
      end
      shown = expect(shown, row[3])
    end)
  end
  tmux("kill-server")
end
os.execute("rm -rf " .. q(dir))
t.done()
