"""Calls that go on after the trace has reached its budget of records: a small function called
in chunks, each chunk timed, so that a chunk's cost before the budget is reached can be held
against one after."""


def step(order, k):
    return order["quantity"] * k + len(order["sku"])


def chunk(order, calls):
    total = 0
    for k in range(calls):
        total += step(order, k)
    return total


def make_order(number):
    return {
        "id": number,
        "sku": f"sku-{number}",
        "quantity": number % 5 + 1,
        "price": 9.5 * number,
        "customer": f"customer {number % 7}",
        "tags": ["retail", "priority", "gift"],
        "address": {"street": "1 Main Street", "city": "Springfield", "zip": "12345"},
    }


CALLS_PER_CHUNK = 5_000
