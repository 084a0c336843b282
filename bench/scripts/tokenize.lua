-- A tokenizer driven by anchored patterns over a generated program text: blanks, names, numbers,
-- strings, two-character operators and punctuation, counted by kind.
local piece = 'var function f(a, b) { var x = a * 3.25 + b[17]; if x >= 100 { return "big: " ++ x } return x - 0x1F; }\n'
local text = string.rep(piece, 20000)
local blanks, names, numbers, strings, operators = 0, 0, 0, 0, 0
local longest = ""
local pos = 1
local n = #text
while pos <= n do
  local s, e = string.find(text, '^%s+', pos)
  if s then blanks = blanks + 1; pos = e + 1; goto continue end
  s, e = string.find(text, '^[%a_][%w_]*', pos)
  if s then
    names = names + 1
    local word = string.sub(text, s, e)
    if #word > #longest then longest = word end
    pos = e + 1
    goto continue
  end
  s, e = string.find(text, '^0x%x+', pos)
  if not s then s, e = string.find(text, '^%d+%.?%d*', pos) end
  if s then numbers = numbers + 1; pos = e + 1; goto continue end
  s, e = string.find(text, '^"[^"]*"', pos)
  if s then strings = strings + 1; pos = e + 1; goto continue end
  s, e = string.find(text, '^[<>=!]=', pos)
  if not s then s, e = string.find(text, '^%+%+', pos) end
  if not s then s, e = string.find(text, '^%p', pos) end
  operators = operators + 1
  pos = e + 1
  ::continue::
end
print(blanks, names, numbers, strings, operators, longest)
