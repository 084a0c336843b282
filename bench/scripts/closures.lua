local function counter(start)
  local n = start
  return function() n = n + 1; return n end
end
local total = 0
for i = 1, 5000000 do
  local c = counter(i)
  c()
  total = total + c()
end
print(total)
