-- A MAC address filter as a settings page keeps it: the allowed devices are
-- stored as one text, edited as a list and stored back. Every address comes
-- out in one form, AA:BB:CC:DD:EE:FF, whatever form the user typed.
--
--   build/kemlua examples/macaddr.lua
local k = kemluautils

local stored = "aa:bb:cc:dd:ee:ff; 0011.2233.4455;02-00-5E-10-00-01"
local allowed = k.macaddrlist_parse(stored, ";")
print("allowed:", table.concat(allowed, " "))

-- The user adds a device (twice, in two notations) and removes one.
allowed = k.macaddrlist_append_macaddr_unique(allowed, "3c:a6:2f:00:12:34")
allowed = k.macaddrlist_append_macaddr_unique(allowed, "3CA62F001234")
allowed = k.macaddrlist_remove_macaddr(allowed, "00-11-22-33-44-55")
print(("after editing, %d devices"):format(#allowed))

-- Is a device that asks to join on the list?
local function is_allowed(mac)
  return #k.macaddrlist_remove_macaddr(allowed, mac) < #allowed
end
print("3c:a6:2f:00:12:34 allowed?", is_allowed("3c:a6:2f:00:12:34"))
print("00:11:22:33:44:55 allowed?", is_allowed("00:11:22:33:44:55"))

-- Back into one text for storage.
print("stored again:", k.macaddrlist_string(allowed, ";"))

-- A typo is caught: parse gives nil, the other functions raise.
print("with a typo, parse gives", k.macaddrlist_parse("aa:bb:cc:dd:ee", ";"))
local ok, err = pcall(function() k.macaddrlist_string({ "aa:bb:cc:dd:ee" }, ";") end)
print("and string raises:", ok, err)
