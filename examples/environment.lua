-- The device environment: who made the device, where it is, which language
-- it speaks, and a localized status line filled from a template.
--
--   build/kemlua examples/environment.lua
--   build/kemlua --profile examples/profile-demo-at.json examples/environment.lua
local k = kemluautils

print(("device: %s, serial %s"):format(k.oem(), k.serialnumber()))
print(("country: %s (%s)%s"):format(k.country(), k.country_iso(),
  k.country_is_default() ~= 0 and ", the factory default" or ""))
print(("language: %s%s"):format(k.language(),
  k.language_is_default() ~= 0 and ", the factory default" or ""))

-- The yes/no queries give integers: compare with 0 (0 is true in Lua).
if k.country_is("DE") ~= 0 or k.country_is("AT") ~= 0 then
  print("a German-speaking country: the help page is", k.predefinedurlget("help"))
end

-- Localized texts by number, in the device's language.
for id = 1, 4 do
  print(("text %d: %s"):format(id, tostring(k.getLocalizedText(id))))
end

-- A template in every language the device allows (the call stays set to
-- the last language it ran in).
local function render(template, language)
  local out = {}
  local unresolved = k.replacement(template, language, function(piece, t) t[#t + 1] = piece end, out)
  return table.concat(out), unresolved
end
for _, language in ipairs({ k.language(), "en", "xx" }) do
  local ok, line, unresolved = pcall(render, "{{#1}} ({{%7B}}{{status}}{{%7D}})", language)
  if ok then
    print(("%s: %s, %d unresolved"):format(language, line, unresolved))
  else
    print(("%s: refused: %s"):format(language, line))
  end
end
