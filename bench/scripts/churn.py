# The list as a queue: one append and one popleft, 1M times.
from collections import deque

q = deque()
for i in range(1, 1000001):
    q.append(i)
    q.popleft()
print(len(q), i)
