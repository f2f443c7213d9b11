"""A small program to trace: a shopping cart priced on the main thread while a second thread
counts words. Run it with `vexo run --threading examples/demo.py`, then `vexo show`."""

import threading
from dataclasses import dataclass


@dataclass
class Item:
    name: str
    price: float
    quantity: int = 1


class Cart:
    def __init__(self, owner):
        self.owner = owner
        self.items = []

    def add(self, name, price, quantity=1):
        self.items.append(Item(name, price, quantity))
        return len(self.items)

    def total(self, discount=0.0):
        subtotal = 0.0
        for item in self.items:
            subtotal += line_price(item)
        return round(subtotal * (1 - discount), 2)


def line_price(item):
    return item.price * item.quantity


def count_words(text, counts):
    for word in text.split():
        counts[word] = counts.get(word, 0) + 1
    return len(counts)


def main():
    counts = {}
    worker = threading.Thread(
        target=count_words, args=("to be or not to be", counts), name="word-counter"
    )
    worker.start()
    cart = Cart("ada")
    cart.add("tea", 4.5, quantity=2)
    cart.add("scone", 2.25)
    total = cart.total(discount=0.1)
    worker.join()
    print(f"total for {cart.owner}: {total}; words: {sorted(counts.items())}")
    return total


if __name__ == "__main__":
    main()
