-- Soak: every function of the module, thousands of times in one interpreter,
-- with a full collection between rounds. Memory of the allocator and of the
-- interpreter must stay flat. KEM_SOAK_ROUNDS sets the rounds (default 5000).
-- The script runs itself again with a private KEM_IPC_DIR and a peer for qecmd.
local t = require "testlib"
local kemlua = t.program("kemlua")
local src = assert(os.getenv("KEM_SOURCE_DIR"), "KEM_SOURCE_DIR is not set")
local dir = os.getenv("KEM_SOAK_DIR")

if not dir then
  local p = io.popen("mktemp -d")
  dir = p:read("*l")
  p:close()
  local peer = ("KEM_IPC_DIR='%s' %s --serve soak '%s/examples/peer_handler.lua' 2>/dev/null & echo $!")
    :format(dir, kemlua, src)
  p = io.popen(peer)
  local pid = p:read("*l")
  p:close()
  os.execute(("for i in $(seq 100); do [ -S '%s/soak' ] && break; sleep 0.05; done"):format(dir))
  local status = os.execute(("KEM_SOAK_DIR='%s' KEM_IPC_DIR='%s' %s '%s'"):format(dir, dir, kemlua, arg[0]))
  os.execute("kill " .. pid .. "; sleep 0.1; rm -rf '" .. dir .. "'")
  os.exit(status == 0 and 0 or 1)
end

local kemtest = require "kemtest"
local k = kemluautils
local rounds = tonumber(os.getenv("KEM_SOAK_ROUNDS")) or 5000

-- One call of every function, with results that are checked.
local function round(i)
  local s = "round " .. i
  assert(k.lua_unixtimefromdays(1) > 0 and k.lua_unixtimefromcall("05.03.24 14:07", "0:" .. i % 60) > 0)
  assert(k.lua_unixtime2iso8601(i) ~= "0001-01-01T00:00:00")
  local got = {}
  assert(k.qecmd("soak", "echo " .. s, function(d) got[#got + 1] = d end, i) and got[1] == s)
  assert(k.base64_decode(k.base64_encode(s)) == s and #k.sha256(s) == 64 and #k.sha256(s, 3) == 64)
  local parts = k.string_split("a,b;c " .. i, ",; ")
  assert(#parts == 4 and k.string_join(parts, "+") == "a+b+c+" .. i)
  assert(#k.list_filenames(src .. "/examples") > 0 and k.list_filenames(dir .. "/missing") == nil)
  local macs = k.macaddrlist_parse("aa:bb:cc:dd:ee:ff 001122334455", " ")
  macs = k.macaddrlist_append_macaddr_unique(macs, "02-00-00-00-00-01")
  assert(#k.macaddrlist_remove_macaddr(macs, "aabb.ccdd.eeff") == 2)
  assert(#k.macaddrlist_string(macs, ",") == 3 * 17 + 2)
  assert(pcall(k.macaddrlist_string, { "bad" }, ",") == false)
  assert(k.sleep(0) == 0)
  assert(k.oem() and k.country() and k.country_iso() and k.language() and k.serialnumber())
  assert(k.country_is("de") >= 0 and k.country_is_default() >= 0 and k.language_is_default() >= 0)
  assert(k.predefinedurlget("nothing such") == nil and k.getLocalizedText(1))
  local pieces = 0
  k.replacement("{{#1}} {{device_name}} " .. i, "en", function() pieces = pieces + 1 end, nil)
  assert(pieces >= 3)
  assert(pcall(k.replacement, "x", "en", function() error("stop") end, nil) == false)
  assert(kiv.RFC1630_Escape(s .. "&/", true) == "round+" .. i .. "%26%2f")
end

t.case("memory stays flat over many rounds of every function", function()
  for i = -100, 0 do round(i) end -- warm up: the string table, the profile, OpenSSL's method
  collectgarbage("collect")
  local lua_start, blocks_start = collectgarbage("count"), kemtest.live_bytes()
  for i = 1, rounds do
    round(i)
    if i % 100 == 0 then collectgarbage("collect") end
  end
  collectgarbage("collect")
  local lua_end, blocks_end = collectgarbage("count"), kemtest.live_bytes()
  print(("soak: %d rounds of all 26 functions and kiv.RFC1630_Escape; allocator %d -> %d bytes live, "
    .. "interpreter %.1f -> %.1f KB"):format(rounds, blocks_start, blocks_end, lua_start, lua_end))
  t.eq(blocks_end, 0, "allocator bytes live")
  t.ok(lua_end - lua_start < 4, ("interpreter memory grew by %.1f KB"):format(lua_end - lua_start))
end)

t.done()
