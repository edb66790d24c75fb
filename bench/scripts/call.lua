-- A loop calling a one-line function, 1M times.
local function inc(x) return x + 1 end
local n = 0
for i = 1, 1000000 do
  n = inc(n)
end
print(n)
