-- URL escaping with kiv.RFC1630_Escape: a link to a device page built from
-- a path and query parameters. Form mode (true) is for the names and values
-- of a query string; plain mode (false) for path segments.
--
--   build/kemlua examples/escape.lua
local escape = kiv.RFC1630_Escape

-- Builds base/seg1/seg2?name=value&... with every piece escaped.
local function url(base, segments, params)
  local path = {}
  for i, segment in ipairs(segments) do path[i] = escape(segment, false) end
  local query = {}
  for _, p in ipairs(params) do
    query[#query + 1] = escape(p[1], true) .. "=" .. escape(p[2], true)
  end
  return base .. "/" .. table.concat(path, "/") .. (#query > 0 and "?" .. table.concat(query, "&") or "")
end

print(url("http://192.168.178.1", { "files", "Urlaub 2024", "#1 Strand.jpg" }, {
  { "sid", "a1b2c3" },
  { "comment", "Sonne & Meer, 28°C" },
  { "rating", 5 },               -- numbers go in their text form
}))

-- The two modes side by side.
for _, text in ipairs({ "a b", "1+1=2", "50%", "/path/to" }) do
  print(("%-10s form: %-14s plain: %s"):format(text, escape(text, true), escape(text, false)))
end

-- Wrong arguments raise without a script position.
print("error:", select(2, pcall(escape, "text")))
