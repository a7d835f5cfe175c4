-- Footprint: the peak of the allocator's live bytes during one typical call
-- of each module function, over what was live before the call. Prints one
-- line "footprint: NAME BYTES" per function (./build.sh prints them per
-- target; docs/device.md keeps them). Runs itself again with a private
-- KEM_IPC_DIR and a peer for qecmd, started through the launcher.
local t = require "testlib"
local kemlua = t.program("kemlua")
local src = assert(os.getenv("KEM_SOURCE_DIR"), "KEM_SOURCE_DIR is not set")
local dir = os.getenv("KEM_FOOTPRINT_DIR")

if not dir then
  local p = io.popen("mktemp -d")
  dir = p:read("*l")
  p:close()
  p = io.popen(("KEM_IPC_DIR='%s' %s --serve footprint '%s/examples/peer_handler.lua' 2>/dev/null & echo $!")
    :format(dir, kemlua, src))
  local pid = p:read("*l")
  p:close()
  os.execute(("for i in $(seq 200); do [ -S '%s/footprint' ] && break; sleep 0.05; done"):format(dir))
  local status = os.execute(("KEM_FOOTPRINT_DIR='%s' KEM_IPC_DIR='%s' %s '%s'"):format(dir, dir, kemlua, arg[0]))
  os.execute("kill " .. pid .. "; sleep 0.1; rm -rf '" .. dir .. "'")
  os.exit(status == 0 and 0 or 1)
end

local kemtest = require "kemtest"
local k = kemluautils
local macs = { "aa:bb:cc:dd:ee:ff", "00:11:22:33:44:55", "02:00:00:00:00:01" }
local text = ("0123456789abcdef"):rep(4)
local encoded = k.base64_encode(text)
local function ignore() end

-- One typical call per function, in the order of the module table.
local calls = {
  { "lua_unixtimefromdays", function() return k.lua_unixtimefromdays(1) end },
  { "lua_unixtimefromcall", function() return k.lua_unixtimefromcall("05.03.24 14:07", "1:30") end },
  { "lua_unixtime2iso8601", function() return k.lua_unixtime2iso8601(1709647620) end },
  { "qecmd", function() return k.qecmd("footprint", "count 3", ignore, nil) end },
  { "base64_encode", function() return k.base64_encode(text) end },
  { "base64_decode", function() return k.base64_decode(encoded) end },
  { "sha256", function() return k.sha256(text) end },
  { "string_split", function() return k.string_split("eth0,eth1,wlan0,wlan1", ",") end },
  { "string_join", function() return k.string_join({ "eth0", "eth1", "wlan0", "wlan1" }, ",") end },
  { "list_filenames", function() return k.list_filenames(src .. "/examples") end },
  { "macaddrlist_parse", function() return k.macaddrlist_parse(table.concat(macs, ","), ",") end },
  { "macaddrlist_string", function() return k.macaddrlist_string(macs, ",") end },
  { "macaddrlist_remove_macaddr", function() return k.macaddrlist_remove_macaddr(macs, macs[2]) end },
  { "macaddrlist_append_macaddr_unique",
    function() return k.macaddrlist_append_macaddr_unique(macs, "02:00:00:00:00:02") end },
  { "sleep", function() return k.sleep(0) end },
  { "country_is_default", function() return k.country_is_default() end },
  { "country_is", function() return k.country_is("de") end },
  { "country_iso", function() return k.country_iso() end },
  { "country", function() return k.country() end },
  { "oem", function() return k.oem() end },
  { "language_is_default", function() return k.language_is_default() end },
  { "language", function() return k.language() end },
  { "predefinedurlget", function() return k.predefinedurlget("help") end },
  { "serialnumber", function() return k.serialnumber() end },
  { "getLocalizedText", function() return k.getLocalizedText(1) end },
  { "replacement", function() return k.replacement("{{#1}} {{device_name}}", "en", ignore, nil) end },
}

t.case("one typical call of each function, peak bytes measured", function()
  t.eq(#calls, 26)
  for _, call in ipairs(calls) do call[2]() end -- first use: the profile, OpenSSL's tables
  for _, call in ipairs(calls) do
    collectgarbage("collect")
    local before = kemtest.live_bytes()
    kemtest.reset_peak()
    t.ok(call[2]() ~= nil, call[1] .. " gives a result")
    print(("footprint: %-34s %6d"):format(call[1], kemtest.peak_bytes() - before))
  end
end)

t.done()
