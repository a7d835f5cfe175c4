-- Footprint: the peak of the allocator's live bytes during one typical call
-- of each module function, over what was live before the call. Prints one
-- line "footprint: NAME BYTES" per function; ./build.sh prints them per
-- target (ctest -L footprint -V), docs/device.md keeps them. Needs kemtest
-- on LUA_CPATH, and KEMLUA (with KEM_EMULATOR in front on a cross build)
-- and KEM_IPC_DIR for the peer that answers qecmd.
local kemtest = require "kemtest"
local k = kemluautils
local src = os.getenv("KEM_SOURCE_DIR") or "."
local ipc = assert(os.getenv("KEM_IPC_DIR"), "KEM_IPC_DIR is not set")
local peer = io.popen(("%s'%s' --serve footprint '%s/examples/peer_handler.lua' 2>/dev/null & echo $!")
  :format(os.getenv("KEM_EMULATOR") or "", assert(os.getenv("KEMLUA")), src)):read("*l")
os.execute(("for i in $(seq 200); do [ -S '%s/footprint' ] && break; sleep 0.05; done"):format(ipc))

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

for _, call in ipairs(calls) do call[2]() end -- first use: the profile
local ok = true
for _, call in ipairs(calls) do
  collectgarbage("collect")
  local before = kemtest.live_bytes()
  kemtest.reset_peak()
  ok = call[2]() ~= nil and ok
  print(("footprint: %-34s %6d"):format(call[1], kemtest.peak_bytes() - before))
end
os.execute("kill " .. peer)
os.exit(ok and 0 or 1)
