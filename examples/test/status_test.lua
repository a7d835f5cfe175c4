-- busted tests of examples/status.lua for the device of
-- examples/profile-demo-at.json, run under kemlua from the project folder in
-- both number modes (docs/tools.md):
--   p=examples/profile-demo-at.json
--   kemlua --profile $p "$(command -v busted)" --pattern=_test examples/test
--   kemlua --profile $p --device-numbers "$(command -v busted)" --pattern=_test examples/test
local status = dofile("examples/status.lua")
local device_numbers = ({ on = true, ["1"] = true, warn = true })[os.getenv("KEM_DEVICE_NUMBERS") or ""]

describe("status", function()
  setup(function()
    assert.are.equal("AT", kemluautils.country_iso(), "run with --profile examples/profile-demo-at.json")
  end)

  it("links the help page on a topic in the device's language", function()
    assert.are.equal("https://support.example.org/at/?topic=WLAN+%26+LAN&lang=de", status.help_link("WLAN & LAN"))
  end)

  it("counts a call's minutes, after 2038 too", function()
    assert.are.equal(90, status.call_minutes("05.03.24 14:07", "1:30"))
    assert.are.equal(30, status.call_minutes("31.12.24 23:45", "0:30"))
    assert.are.equal(90, status.call_minutes("05.03.38 14:07", "1:30"))
    assert.is_nil(status.call_minutes("2024-03-05 14:07", "1:30"))
  end)

  it("sees the device's numbers when they are in force", function()
    local ends = kemluautils.lua_unixtimefromcall("05.03.38 14:07", "1:30")  -- after 2^31 - 1 seconds
    if device_numbers then
      assert.is_true(ends < 0)  -- the low 32 bits, as the device has them
    else
      assert.is_true(ends > 2 ^ 31)
    end
  end)
end)
