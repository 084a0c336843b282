-- Sorting a million numbers, with the default order and with a comparator.
local function fill(n)
  local t, seed = {}, 42
  for i = 1, n do
    seed = (seed * 1103515245 + 12345) % 2147483648
    t[i] = seed
  end
  return t
end
local a = fill(1000000)
table.sort(a)
local b = fill(1000000)
table.sort(b, function(x, y) return x > y end)
print(a[1] <= a[2], a[1] <= a[1000000], b[1] >= b[1000000])
