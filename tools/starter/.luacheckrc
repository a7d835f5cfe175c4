-- luacheck's settings for a folder of device scripts (docs/tools.md): the
-- scripts see the globals of the device's interpreter and kemlua; tests
-- in test/ get busted's too.
stds.kemluautils = require "kemluautils.luacheck"
std = "lua51+kemluautils"
files["test"] = { std = "+busted" }
