-- The same work as json.quevro: a small JSON writer (sorted names, escapes) and reader in Lua.
local byte, sub, find, format, concat = string.byte, string.sub, string.find, string.format, table.concat

local escapes = { ['"'] = '\\"', ['\\'] = '\\\\', ['\b'] = '\\b', ['\f'] = '\\f', ['\n'] = '\\n', ['\r'] = '\\r', ['\t'] = '\\t' }
local function quote(s)
  return '"' .. s:gsub('[%c"\\]', function(c) return escapes[c] or format("\\u%04X", byte(c)) end) .. '"'
end

local write
local function number(n)
  if n == math.floor(n) and n > -2^53 and n < 2^53 then return format("%d", n) end
  local s = format("%.15g", n)
  if tonumber(s) ~= n then s = format("%.17g", n) end
  return s
end
write = function(v)
  local t = type(v)
  if t == "string" then return quote(v) end
  if t == "number" then return number(v) end
  if t == "boolean" then return v and "true" or "false" end
  if t == "table" then
    if #v > 0 then
      local parts = {}
      for i = 1, #v do parts[i] = write(v[i]) end
      return "[" .. concat(parts, ",") .. "]"
    end
    local names = {}
    for k in pairs(v) do names[#names + 1] = k end
    table.sort(names)
    local parts = {}
    for i, k in ipairs(names) do parts[i] = quote(k) .. ":" .. write(v[k]) end
    return "{" .. concat(parts, ",") .. "}"
  end
  return "null"
end

local read
local function blanks(s, at) return find(s, "[^ \t\r\n]", at) or #s + 1 end
local simple = { [34] = '"', [92] = '\\', [47] = '/', [98] = '\b', [102] = '\f', [110] = '\n', [114] = '\r', [116] = '\t' }
local function str(s, at)
  local pieces, from = nil, at + 1
  while true do
    local stop = find(s, '["\\]', from)
    local chunk = sub(s, from, stop - 1)
    if byte(s, stop) == 34 then
      if not pieces then return chunk, stop + 1 end
      pieces[#pieces + 1] = chunk
      return concat(pieces), stop + 1
    end
    pieces = pieces or {}
    pieces[#pieces + 1] = chunk
    local e = byte(s, stop + 1)
    if e == 117 then
      pieces[#pieces + 1] = utf8.char(tonumber(sub(s, stop + 2, stop + 5), 16))
      from = stop + 6
    else
      pieces[#pieces + 1] = simple[e]
      from = stop + 2
    end
  end
end
read = function(s, at)
  at = blanks(s, at)
  local c = byte(s, at)
  if c == 34 then return str(s, at) end
  if c == 123 then
    local obj = {}
    at = blanks(s, at + 1)
    if byte(s, at) == 125 then return obj, at + 1 end
    while true do
      local name
      name, at = str(s, blanks(s, at))
      at = blanks(s, at) + 1
      obj[name], at = read(s, at)
      at = blanks(s, at)
      c = byte(s, at)
      at = at + 1
      if c == 125 then return obj, at end
    end
  end
  if c == 91 then
    local list, n = {}, 0
    at = blanks(s, at + 1)
    if byte(s, at) == 93 then return list, at + 1 end
    while true do
      n = n + 1
      list[n], at = read(s, at)
      at = blanks(s, at)
      c = byte(s, at)
      at = at + 1
      if c == 93 then return list, at end
    end
  end
  if c == 116 then return true, at + 4 end
  if c == 102 then return false, at + 5 end
  if c == 110 then return nil, at + 4 end
  local i, j = find(s, "^-?%d+%.?%d*[eE]?[+-]?%d*", at)
  return tonumber(sub(s, i, j)), j + 1
end

local records = {}
for i = 1, 2000 do
  records[i] = {
    id = i, name = "Person " .. i, email = "user" .. i .. "@example.org", active = i % 3 == 0,
    score = i * 1.25, note = 'Line one\nLine "two"\tand ünïcödé ' .. i,
    tags = { "a", "b" .. (i % 7), "c" }, address = { street = i .. " Main St", city = "Zürich", zip = 8000 + i % 100 },
  }
end
local doc = { version = 3, count = #records, records = records }
local total = 0
for round = 1, 10 do
  local text = write(doc)
  local back = read(text, 1)
  total = total + #text + back.count
end
print(total)
