local t = {}
local keys = {}
for i = 1, 200000 do keys[i] = "k" .. i end
for round = 1, 5 do
  for i = 1, 200000 do t[keys[i]] = i + round end
end
local sum = 0
for round = 1, 10 do
  for i = 1, 200000 do sum = sum + t[keys[i]] end
end
local count = 0
for k, v in pairs(t) do count = count + 1 end
print(sum, count)
