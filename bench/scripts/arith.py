# A loop of n = n + 1, 1M times.
n = 0
while n < 1000000:
    n = n + 1
print(n)
