-- Formatting 200000 times as local time and reading each text back into a time table.
local format = "%Y-%m-%d %H:%M:%S"
local n, last = 0
for i = 1, 200000 do
  last = os.date(format, 1700000000 + i * 3037)
  local y, mo, d, h, mi, s = last:match("(%d+)-(%d+)-(%d+) (%d+):(%d+):(%d+)")
  local back = os.date("*t", os.time({year = tonumber(y), month = tonumber(mo), day = tonumber(d),
                                      hour = tonumber(h), min = tonumber(mi), sec = tonumber(s)}))
  n = n + back.day + back.hour
end
print(n, last)
