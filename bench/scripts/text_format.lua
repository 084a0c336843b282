-- Formatting a million numbers.
local n, last = 0
for i = 1, 1000000 do
  last = string.format("%d:%.2f:%5x|%s", i, i / 7, i, i * 0.5)
  n = n + #last
end
print(n, last)
