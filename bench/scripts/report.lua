-- A text report of formatted lines: a header per group, a line per entry with padded names,
-- fixed-point amounts and hexadecimal codes, and totals, joined into one text of several MB.
local names = {"apples", "pears", "plums", "cherries", "quinces", "apricots", "figs"}
local lines = {}
local grand = 0
for group = 1, 1000 do
  lines[#lines + 1] = string.format("== group %04d ==", group)
  local sum = 0
  for item = 1, 250 do
    local amount = (group * 37 + item * 11) % 10007 / 8
    sum = sum + amount
    lines[#lines + 1] = string.format("%6d  %-10s %12.2f  %08x  %5.1f%%", item, names[item % 7 + 1], amount, group * 65536 + item, item * 100 / 250)
  end
  grand = grand + sum
  lines[#lines + 1] = string.format("   total %22.2f", sum)
end
local report = table.concat(lines, "\n")
print(#lines, #report, string.format("%.2f", grand))
