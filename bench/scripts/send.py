# A method of an object updating a float attribute, called 1M times.
class Account:
    def __init__(self):
        self.balance = 0.0

    def deposit(self, amount):
        self.balance = self.balance + amount * 0.5


a = Account()
for i in range(1000000):
    a.deposit(1.5)
print(a.balance)
