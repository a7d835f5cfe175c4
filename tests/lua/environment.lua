-- The device environment, localized texts and template replacement as scripts see them, on the
-- built-in profile: integers for the yes/no queries, nil where the service has nothing, every
-- piece with its pass-through value, the callback's own error, the language left set.
local t = require "testlib"

local function pieces(...) return t.collect(kemluautils.replacement, ...) end
local value, seen = {}, {}

t.rows({
  { "{ k.country_is_default(), k.language_is_default(), k.country_is('dE'), k.country_is('germany') }",
    { 1, 1, 1, 0 } },
  { "pieces('Hi {{device_name}}, {{#1}}!', 'en', value)",
    { 0, "Hi ", value, "Example Gateway 100", value, ", ", value, "Welcome", value, "!", value } },
  { "pieces(42, 'de', false)", { 0, "42", false } }, { "pieces('', 'de', 1)", { 0 } },
  { "pieces('a{{%00}}{{nope}}{{%FF}}', 'fr', nil)", { 1, "a", "nil", "\0", "nil", "\255", "nil" } },
  { "k.getLocalizedText(1)", "Bienvenue" },  -- the language of the last run stays
  -- the error value as raised, at the second piece (seen is the value itself)
  { "{ pcall(k.replacement, 'one{{device_name}}three', 'en', function(p) seen[#seen + 1] = p "
    .. "if #seen == 2 then error(seen) end end, 5) }", { false, { "one", "Example Gateway 100" } } },
  { "pieces({}, '{{#2}}', 'en', '!')", { 0, "Settings", "!" } },  -- five arguments: the first is ignored
}, { pieces = pieces, value = value, seen = seen })

t.done()
