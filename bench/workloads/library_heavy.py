"""The user's code hands its data to the standard library: nearly every frame is a library frame
that a tracer of the user's code filters out."""

import collections
import dataclasses
import json
import re

WORD = re.compile(r"[a-z]+")


@dataclasses.dataclass
class Item:
    sku: str
    quantity: int
    price: float


@dataclasses.dataclass
class Order:
    id: int
    customer: str
    items: list
    tags: tuple


def make_order(number):
    items = [Item(f"sku-{number}-{k}", k + 1, 9.5 * k) for k in range(5)]
    return Order(number, f"customer {number % 7}", items, ("retail", "priority", "gift"))


ORDERS = [make_order(number) for number in range(50)]


def summarize(order):
    text = json.dumps(dataclasses.asdict(order), sort_keys=True)
    words = len(json.loads(text)) + len(re.split(r"[,:]", text))
    top = collections.Counter(WORD.findall(text)).most_common(1)
    return words + len(dataclasses.fields(order)) + top[0][1]


def run(size):
    total = 0
    for number in range(size):
        total += summarize(ORDERS[number % len(ORDERS)])
    return total


SIZE = 1500
