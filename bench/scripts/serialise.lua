-- A JSON-like serialiser written in the language: sorted names, escaped strings, integral and
-- fractional numbers, pieces collected in a table and joined, over an address book of 2,000 records.
local escapes = {}
escapes['"'] = '\\"'
escapes['\\'] = '\\\\'
escapes['\n'] = '\\n'
escapes['\t'] = '\\t'
local function quote(s)
  return '"' .. string.gsub(s, '[%c"\\]', escapes) .. '"'
end
local function number(n)
  if n % 1 == 0 then return string.format("%d", n) end
  return string.format("%.14g", n)
end
local function write(v, out)
  local t = type(v)
  if t == "string" then out[#out + 1] = quote(v); return end
  if t == "number" then out[#out + 1] = number(v); return end
  if t == "boolean" then
    if v then out[#out + 1] = "true" else out[#out + 1] = "false" end
    return
  end
  if t == "table" then
    local n = #v
    if n > 0 then
      out[#out + 1] = "["
      for i = 1, n do
        if i > 1 then out[#out + 1] = "," end
        write(v[i], out)
      end
      out[#out + 1] = "]"
      return
    end
    local names = {}
    for k in pairs(v) do names[#names + 1] = k end
    table.sort(names)
    out[#out + 1] = "{"
    for i = 1, #names do
      if i > 1 then out[#out + 1] = "," end
      out[#out + 1] = quote(names[i])
      out[#out + 1] = ":"
      write(v[names[i]], out)
    end
    out[#out + 1] = "}"
    return
  end
  out[#out + 1] = "null"
end
local records = {}
for i = 1, 2000 do
  records[i] = {
    id = i, name = "Person " .. i, email = "user" .. i .. "@example.org", active = i % 3 == 0,
    score = i * 1.25, note = 'Line one\nLine "two"\tand \\ ' .. i,
    tags = {"a", "b" .. (i % 7), "c"}, address = {street = i .. " Main St", city = "Zurich", zip = 8000 + i % 100},
  }
end
local doc = {version = 3, count = #records, records = records}
local total = 0
local text
for round = 1, 10 do
  local out = {}
  write(doc, out)
  text = table.concat(out, "")
  total = total + #text
end
print(total, string.sub(text, 1, 90))
