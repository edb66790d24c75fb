-- The list as a queue: a table with a first and a last index, 1M pushes and pops.
local q, first, last = {}, 1, 0
local n = 0
for i = 1, 1000000 do
  last = last + 1
  q[last] = i
  q[first] = nil
  first = first + 1
  n = i
end
print((last - first + 1) .. " " .. n)
