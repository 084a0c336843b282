local function bottomUp(depth)
  if depth == 0 then return {} end
  depth = depth - 1
  return { bottomUp(depth), bottomUp(depth) }
end
local function check(tree)
  if tree[1] then return 1 + check(tree[1]) + check(tree[2]) end
  return 1
end
local N = 16
local maxDepth = N
local stretch = maxDepth + 1
print("stretch tree of depth " .. stretch .. "\t check: " .. check(bottomUp(stretch)))
local longLived = bottomUp(maxDepth)
for depth = 4, maxDepth, 2 do
  local iterations = 2 ^ (maxDepth - depth + 4)
  local total = 0
  for i = 1, iterations do
    total = total + check(bottomUp(depth))
  end
  print(string.format("%d\t trees of depth %d\t check: %d", iterations, depth, total))
end
print("long lived tree of depth " .. maxDepth .. "\t check: " .. check(longLived))
