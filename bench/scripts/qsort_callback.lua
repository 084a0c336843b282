-- A million numbers sorted with a comparator function (the peer of qsort with a script callback).
local n = 1000000
local t, seed = {}, 42
for i = 1, n do
  seed = (seed * 1103515245 + 12345) % 2147483648
  t[i] = seed
end
table.sort(t, function(a, b) return a < b end)
print(t[1] <= t[2], t[1] <= t[n])
