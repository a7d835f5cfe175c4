-- luacheck's settings for a folder of device scripts (docs/tools.md): the
-- scripts see the globals of the device's interpreter and kemlua; specs
-- in spec/ get busted's too.
stds.kemluautils = require "kemluautils.luacheck"
std = "lua51+kemluautils"
