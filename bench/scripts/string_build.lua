-- Building text from numbers: 300,000 short lines made by converting and concatenating numbers,
-- then joined into one text, three times over.
local total = 0
local out
for round = 1, 3 do
  local parts = {}
  for i = 1, 300000 do
    parts[i] = "row " .. i .. ": " .. (i * 3 + round) .. "," .. (i % 977) .. ";"
  end
  out = table.concat(parts, "\n")
  total = total + #out
end
print(total, #out, string.sub(out, -24))
