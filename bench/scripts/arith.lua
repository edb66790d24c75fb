-- A loop of n = n + 1, 1M times.
local n = 0
while n < 1000000 do
  n = n + 1
end
print(n)
