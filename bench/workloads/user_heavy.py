"""Many small functions and methods of the user's own: nearly every frame is recorded."""


class Account:
    def __init__(self, owner, balance):
        self.owner = owner
        self.balance = balance
        self.history = []

    def deposit(self, amount):
        self.balance += amount
        self.history.append(amount)
        return self.balance

    def grow(self, rate, years):
        balance = self.balance
        for _ in range(years):
            balance = balance * (1 + rate) - 1.5
        return round(balance, 2)

    def largest_deposit(self):
        largest = 0
        for amount in self.history:
            if amount > largest:
                largest = amount
        return largest


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


def digits_sum(number):
    total = 0
    while number:
        total += number % 10
        number //= 10
    return total


def checksum(data):
    value = 7
    for byte in data:
        value = (value * 31 + byte) % 1_000_003
    return value


def settle(account, amounts):
    for amount in amounts:
        account.deposit(amount)
    return account.grow(0.03, 20) + account.largest_deposit()


def run(size):
    total = 0
    for k in range(size):
        account = Account(f"owner {k}", k)
        total += settle(account, (k % 7, k % 11, 3, 5))
        total += fib(4) + digits_sum(k * 7919 * 104729) + checksum(account.owner.encode() * 6)
    return total


SIZE = 8400
