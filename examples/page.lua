-- Renders a small status page of the device in two languages through the
-- template service. Run it as the device would, on a profile:
--
--   build/kemlua --profile examples/profile-demo-at.json examples/page.lua [LANG...]
--
-- Without LANG arguments it renders the device's language and English.
local k = kemluautils

-- {{#N}} is localized text N, {{name}} a database field; the serial number
-- and the help URL come from the environment.
local template = [[
<h1>{{#1}}: {{product}}</h1>
<p>{{#2}}: {{wan_status}}</p>
<p>{{#3}} {{firmware}}, S/N ]] .. k.serialnumber() .. [[</p>
<p><a href="]] .. (k.predefinedurlget("help") or "#") .. [[">{{#4}}</a></p>
]]

-- The page in one language, and the number of references left unresolved.
local function render(language)
  local page = {}
  local unresolved = k.replacement(template, language, function(piece, out)
    out[#out + 1] = piece
  end, page)
  return table.concat(page), unresolved
end

local languages = { ... }
if #languages == 0 then languages = { k.language(), "en" } end

print(("%s device in %s (%s), serial %s"):format(k.oem(), k.country(), k.country_iso(),
  k.serialnumber()))
for _, language in ipairs(languages) do
  print("-- " .. language)
  local ok, page, unresolved = pcall(render, language)
  if ok then
    io.write(page)
    if unresolved > 0 then print(("(%d references unresolved)"):format(unresolved)) end
  else
    print(page)
  end
end
