---@meta kemlua.json
-- Definitions of kemlua's `require "kemlua.json"`: the library's JSON bridge
-- for scripts, as the device's native modules call it. A kemlua module, not
-- one of the device.

---@class kemlua.json
local json = {}

---The table of a JSON object or array (json2lua), with the device's numbers when they are in force.
---@param text string
---@param depth? integer table levels allowed, 16 when not given
---@return table? value # nil when `text` is no JSON object or array within `depth` levels
---@return string? message # why, when `value` is nil
function json.decode(text, depth) end

---The JSON text of a table (lua2json), refused where decode would not give it back.
---@param value table
---@param depth? integer table levels allowed, 16 when not given
---@return string? text # nil for a value that is no table, a table deeper than `depth`, a member name given twice, or a string that is not UTF-8
---@return string? message # why, when `text` is nil
function json.encode(value, depth) end

return json
