-- A doubly linked list of 20k node tables walked from the head, 50 times (1M steps).
local head, tail = nil, nil
for i = 0, 19999 do
  local node = {value = i % 10, prev = tail}
  if tail == nil then head = node else tail.next = node end
  tail = node
end

local total = 0
for _ = 1, 50 do
  local node = head
  while node ~= nil do
    total = total + node.value
    node = node.next
  end
end
print(total)
