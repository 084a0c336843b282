-- Splitting a 10 MB text into lines and fields and joining it back.
local function split(s, sep)
  local parts, n, at = {}, 0, 1
  while true do
    local i = string.find(s, sep, at, true)
    if not i then n = n + 1; parts[n] = string.sub(s, at); return parts end
    n = n + 1; parts[n] = string.sub(s, at, i - 1); at = i + 1
  end
end
local line = "alpha,beta,gamma,delta,epsilon,zeta,eta,theta,iota,kappa"
local text = string.rep(line .. "\n", 180000)
local total, out = 0
for round = 1, 3 do
  local lines = split(text, "\n")
  local fields = 0
  for i = 1, #lines do
    fields = fields + #split(lines[i], ",")
  end
  out = table.concat(lines, "\n")
  total = total + fields
end
print(#text, total, #out)
