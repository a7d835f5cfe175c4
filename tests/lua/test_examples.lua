-- The example scripts: each examples/*.lua runs under kemlua from the project
-- folder and must end with status 0, print what it is there to show and
-- leave no allocator block behind. A new example needs an entry below.
local t = require "testlib"

local src = assert(os.getenv("KEM_SOURCE_DIR"), "KEM_SOURCE_DIR is not set")
local kemlua = t.program("kemlua")

local function q(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

-- Per example: kemlua options and arguments, and patterns the output must hold.
local expected = {
  ["time.lua"] = { "", {
    "%+43 1 2345678%s+2024%-03%-05T14:07:00 %.%. 2024%-03%-05T15:37:00  %(5400 s, older%)",
    '"06%.03%.2024 10:00" is no date',
    "%+41 44 7788 .- %(5400 s, this week%)" } },
  ["escape.lua"] = { "", {
    "/files/Urlaub%%202024/%%231%%20Strand%.jpg%?sid=a1b2c3&comment=Sonne%+%%26%+Meer,%+28%%c2%%b0C&rating=5",
    "1%+1=2%s+form: 1%%2b1=2%s+plain: 1%+1=2",
    "error:\tlua_rfc1630_escape%(%) requires 2 arguments" } },
  ["text.lua"] = { "", {
    "3 interfaces in .-: eth0 | eth1 | wlan0",
    "Authorization: Basic YWRtaW46czNjcjN0",
    "not Base64 gives\tnil",
    "files in examples: .*tour%.lua" } },
  ["macaddr.lua"] = { "", {
    "allowed:\tAA:BB:CC:DD:EE:FF 00:11:22:33:44:55 02:00:5E:10:00:01",
    "stored again:\tAA:BB:CC:DD:EE:FF;02:00:5E:10:00:01;3C:A6:2F:00:12:34",
    "00:11:22:33:44:55 allowed%?\tfalse",
    "is not MACADDR conform" } },
  ["environment.lua"] = { "--profile examples/profile-demo-at.json", {
    "device: demo, serial EX0000000817",
    "language: de, the factory default",
    "the help page is\thttps://support%.example%.org/at/",
    "text 1: Übersicht",
    "xx: refused: .-language not allowed xx" } },
  ["qecmd.lua"] = { "", {
    "'count 3': true, 3 deliveries: 1 2 3",
    "'fail':\tfalse",
    "a callback that raises:\tfalse\tenough" } },
  ["page.lua"] = { "--profile examples/profile-demo-at.json", {
    "demo device in Austria %(AT%)",
    "<h1>Übersicht: Example Router 5</h1>",
    "<h1>Overview: Example Router 5</h1>" } },
  ["tour.lua"] = { "", { "== Time conversion", "== Remote command", "End of the tour%." } },
  -- not a script: the handler kemlua --serve loads (qecmd.lua starts it)
  ["peer_handler.lua"] = false,
}

local found = {}
local p = io.popen("cd " .. q(src) .. " && ls examples/*.lua")
for path in p:lines() do found[#found + 1] = path:match("[^/]+$") end
p:close()

for _, name in ipairs(found) do
  t.case("examples/" .. name, function()
    local want = expected[name]
    if want == nil then error("no expectation for examples/" .. name .. " in this test") end
    if want == false then
      local f = assert(loadfile(src .. "/examples/" .. name))
      t.eq(type(f()), "function", name .. " returns a handler")
      return
    end
    local command = ("cd %s && env -u KEM_DEVICE_PROFILE KEM_MEM_REPORT=1 %s %s examples/%s 2>&1")
      :format(q(src), kemlua, want[1], name)
    local pipe = io.popen(command .. "; echo \"status=$?\"")
    local out = pipe:read("*a")
    pipe:close()
    t.ok(out:find("\nstatus=0\n$"), "exit status 0:\n" .. out)
    for _, pattern in ipairs(want[2]) do
      t.ok(out:find(pattern), "output holds " .. pattern .. ":\n" .. out)
    end
    t.ok(out:find("kemlua: 0 live blocks, 0 bytes", 1, true), "no live block:\n" .. out)
  end)
end

t.case("every expectation has its example", function()
  local present = {}
  for _, name in ipairs(found) do present[name] = true end
  for name in pairs(expected) do t.ok(present[name], "examples/" .. name .. " exists") end
end)

t.done()
