-- Reading a 100 MB text file line by line (the file is made by read_lines.setup).
local lines, bytes = 0, 0
for line in io.lines(arg[1] .. "/lines.txt") do
  lines = lines + 1
  bytes = bytes + #line
end
print(lines, bytes)
