-- The prompt on a terminal, driven through tmux: "=expr", the history (Up,
-- and the history file), Tab completion of globals and fields, and Ctrl-C
-- stopping a running chunk, a loop or a sleep that the signal cuts short,
-- while the prompt stays. Each step waits for the screen to show what it
-- expects, up to a deadline. Skipped without tmux or without line editing.
local t = require "testlib"

local q, show = t.quote, t.show
local scratch = os.tmpname()
os.remove(scratch)
assert(os.execute("mkdir " .. q(scratch)) == 0)
local socket, history = scratch .. "/tmux", scratch .. "/history"
local session = "prompt"

local function tmux(args)
  return t.shell("tmux -S " .. q(socket) .. " " .. args)
end

-- The pane's text, wrapped lines joined, scrolled-off lines included.
local function screen()
  return (tmux("capture-pane -p -J -S - -t " .. session):gsub("%s+$", ""))
end

-- Waits until the screen after the first `from` characters matches pattern.
local function expect(from, pattern, what)
  local text
  local found = t.wait_until(function()
    text = screen():sub(from + 1)
    return text:find(pattern)
  end, 60)
  t.ok(found, what .. ": expected " .. show(pattern) .. " on the screen, which shows " .. show(text))
end

local prompt = "\n>%s*$"
local interrupted = "interrupted!.*" .. prompt
local rows = {
  { "=expr prints the values", { "=1+2", "Enter" }, "=1%+2\n3" .. prompt },
  { "Up recalls the last line", { "Up", "Enter" }, "^\n?>?%s*=1%+2\n3" .. prompt },
  { "Tab completes a global, then a field", { "=kemluaut", "Tab", "sha", "Tab", '("abc")', "Enter" },
    '=kemluautils%.sha256%("abc"%)\nba7816bf%x+' .. prompt },
  { "Ctrl-C stops a loop", { 'print("running") while true do end', "Enter" }, interrupted,
    running = "\nrunning$", compiled = true },
  { "Ctrl-C cuts a sleep short and stops the chunk", { 'print("sleeping") kemluautils.sleep(100)', "Enter" },
    interrupted, running = "\nsleeping$" },
}

local ready = false
t.case("a prompt in tmux", function()
  if os.execute("command -v tmux >/dev/null 2>&1") ~= 0 then t.skip("no tmux") end
  if os.getenv("KEM_HAVE_LIBEDIT") ~= "ON" then t.skip("kemlua without line editing") end
  local _, status = tmux(("new-session -d -s %s -x 150 -y 50 %s"):format(session,
    q("KEM_HISTORY=" .. q(history) .. " " .. t.program("kemlua"))))
  t.eq(status, 0)
  expect(0, "^kemlua .*" .. prompt, "the banner and the prompt")
  ready = true
end)

for _, row in ipairs(rows) do
  local name, keys, result = row[1], row[2], row[3]
  t.case(name, function()
    if not ready then t.skip("no prompt") end
    if row.compiled and jit then t.skip("LuaJIT runs no hooks in compiled code") end
    local from = #screen()
    for _, key in ipairs(keys) do
      local literal = key:find("^[A-Z][%w-]*$") == nil
      tmux(("send-keys -t %s %s%s"):format(session, literal and "-l " or "", q(key)))
    end
    if row.running then
      expect(from, row.running, name .. ", before Ctrl-C")
      tmux("send-keys -t " .. session .. " C-c")
    end
    expect(from, result, name)
  end)
end

t.case("the history file keeps the lines", function()
  if not ready then t.skip("no prompt") end
  local f = assert(io.open(history))
  local text = f:read("*a")
  f:close()
  t.ok(text:find("\n=1%+2\n") and text:find("kemluautils.sleep(100)", 1, true), text)
end)

tmux("kill-server")
os.execute("rm -rf " .. q(scratch))
t.done()
