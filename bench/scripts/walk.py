# A doubly linked list of 20k node objects walked from the head, 50 times (1M steps).
class Node:
    def __init__(self, value, prev):
        self.value = value
        self.prev = prev
        self.next = None


head = tail = None
for i in range(20000):
    node = Node(i % 10, tail)
    if tail is None:
        head = node
    else:
        tail.next = node
    tail = node

total = 0
for _ in range(50):
    node = head
    while node is not None:
        total += node.value
        node = node.next
print(total)
