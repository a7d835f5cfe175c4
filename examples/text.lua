-- Text and data utilities at work: interface lists from a setting, an HTTP
-- Basic authorization header, a firmware checksum, and the files waiting in
-- a folder.
--
--   build/kemlua examples/text.lua [FOLDER]
local k = kemluautils

-- A setting as a user typed it: separators mixed and doubled.
local setting = "eth0, eth1;;wlan0 ,"
local interfaces = k.string_split(setting, ", ;")
print(("%d interfaces in %q: %s"):format(#interfaces, setting, k.string_join(interfaces, " | ")))

-- Basic authorization: Base64 of "user:password"; decoding gives it back.
local credentials = k.base64_encode("admin:s3cr3t")
print("Authorization: Basic " .. credentials)
print("decoded again:", k.base64_decode(credentials))
print("not Base64 gives", k.base64_decode("admin:s3cr3t"))

-- A checksum over an image and its header only (the first 16 bytes).
local image = "KEMFW\1\0\7" .. string.rep("\0", 8) .. string.rep("firmware payload ", 100)
print("sha256 of the image: " .. k.sha256(image))
print("sha256 of its header: " .. k.sha256(image, 16))

-- The regular files of a folder, sorted (the listing keeps the folder's order).
local folder = arg and arg[1] or "examples"
local files = k.list_filenames(folder)
if files then
  table.sort(files)
  print(("%d files in %s: %s"):format(#files, folder, table.concat(files, ", ")))
else
  print(folder .. " is no folder")
end

-- A short pause between two steps.
k.sleep(0)
