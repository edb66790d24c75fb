-- A method of an object updating a float field, called 1M times.
local Account = {}
Account.__index = Account

function Account.new()
  return setmetatable({balance = 0.0}, Account)
end

function Account:deposit(amount)
  self.balance = self.balance + amount * 0.5
end

local a = Account.new()
for i = 1, 1000000 do
  a:deposit(1.5)
end
print(a.balance)
