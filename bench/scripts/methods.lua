local methods = {
  add = function(self, n) self.value = self.value + n; return self end,
  get = function(self) return self.value end,
}
local meta = {__index = methods}
local obj = setmetatable({value = 0}, meta)
for i = 1, 30000000 do
  obj:add(1)
end
print(obj:get())
