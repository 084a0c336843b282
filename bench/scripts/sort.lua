local function quicksort(a, lo, hi)
  while lo < hi do
    local mid = (lo + hi) / 2
    mid = mid - mid % 1
    local p = a[mid]
    local i, j = lo, hi
    while i <= j do
      while a[i] < p do i = i + 1 end
      while a[j] > p do j = j - 1 end
      if i <= j then
        a[i], a[j] = a[j], a[i]
        i = i + 1
        j = j - 1
      end
    end
    if j - lo < hi - i then
      quicksort(a, lo, j)
      lo = i
    else
      quicksort(a, i, hi)
      hi = j
    end
  end
end
local seed = 42.0
local a = {}
local n = 1000000
for i = 1, n do
  seed = (seed * 1103515245.0 + 12345.0) % 2147483648.0
  a[i] = seed
end
quicksort(a, 1, n)
local ok = true
for i = 2, n do if a[i - 1] > a[i] then ok = false end end
print(ok, string.format("%.14g", a[1]), string.format("%.14g", a[n]))
