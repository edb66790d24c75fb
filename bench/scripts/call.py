# A loop calling a one-line function, 1M times.
def inc(x):
    return x + 1


n = 0
for i in range(1000000):
    n = inc(n)
print(n)
