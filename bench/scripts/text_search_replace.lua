-- Plain and pattern searching and replacing over a large text.
local text = string.rep("The quick brown fox jumps over the lazy dog 12345 times; ", 40000)
local found, at = 0, 1
while true do
  local i, j = string.find(text, "lazy dog", at, true)
  if not i then break end
  found = found + 1
  at = j + 1
end
local r1, n1 = string.gsub(text, "fox", "cat")
local r2, n2 = string.gsub(text, "%d+", "#")
local r3, n3 = string.gsub(text, "(%a+) (%a+)", "%2 %1")
local words = 0
for w in string.gmatch(text, "%a+") do words = words + 1 end
print(found, n1, n2, n3, words, #r1, #r2, #r3)
