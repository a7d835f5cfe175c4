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

t.rows({
  { "kemlua('- one two', 'printf %s ' .. script .. ' |')", "2\tone\ttwo\tfunction\ttrue\nstatus 0" },
  { "kemlua('-e ' .. q('local function f() error(\"boom\") end f()'))",
    function(out) return out:find("^kemlua: %(command line%):1: boom\nstack traceback:\n.*status 1$") end },
  { "kemlua('/nonexistent.lua')", function(out) return out:find("cannot open /nonexistent.lua.*status 1$") end },
  { "kemlua('--bogus')", function(out) return out:find("unrecognized option '%-%-bogus'.*usage: kemlua.*status 2$") end },
  { "kemlua('--serve x')", function(out) return out:find("%-%-serve needs a handler script.*status 2$") end },
  { "kemlua('--version')", function(out) return out:find("^kemlua %d+%.%d+%.%d+ %(libkemluautils %d+%.%d+%.%d+, [^)]+%)\nstatus 0$") end },
  { "kemlua('-i', 'printf \"x = 40 + 2\\\\nx\\\\nfor i = 1, 2 do\\\\nprint(i)\\\\nend\\\\nerror(1, 0)\\\\n\" |')",
    function(out) return out:find("\n> > 42\n> >> >> 1\n2\n> kemlua: 1\n.*\n> \nstatus 0$") end },
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
  { "kemlua('-e 1', 'KEM_DEVICE_NUMBERS=yes')",
    "kemlua: device numbers mode 'yes' (KEM_DEVICE_NUMBERS): use on, off or warn\nstatus 2" },
}, { kemlua = kemlua, q = q, script = script, profile = q(t.source .. "/examples/profile-demo-at.json"), t = t,
  decodes = 'local json = require "kemlua.json"\nfor i = 1, 3 do json.decode("[3000000000]") end\n'
    .. 'print(json.decode("[3000000000, 0.1]")[1])\n' })

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
