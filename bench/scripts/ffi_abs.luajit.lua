local ffi = require("ffi")
ffi.cdef("int abs(int);")
local abs = ffi.C.abs
local sum = 0
for i = 1, 10000000 do
  sum = sum + abs(-(i % 1000))
end
print(sum)
