local total = 0
local last
for i = 1, 3000000 do
  local s = "item" .. i .. ";" .. (i % 100)
  total = total + #s
  last = s
end
print(total, last)
