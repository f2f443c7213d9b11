"""Two small methods of the user's, called again and again on one large object: every call's
`self` holds a dict of 10,000 entries and a list of 10,000 items, of which a tracer that stores
arguments keeps a bounded part each time."""


class Catalog:
    def __init__(self, size):
        self.name = "catalog"
        self.prices = {f"sku-{k}": 1.5 * k for k in range(size)}
        self.skus = [f"sku-{k}" for k in range(size)]
        self.hits = 0

    def price(self, sku):
        self.hits += 1
        return self.prices[sku]

    def sku(self, index):
        return self.skus[index % len(self.skus)]


def run(calls, entries=10_000):
    catalog = Catalog(entries)
    total = 0.0
    for k in range(calls):
        total += catalog.price(catalog.sku(k))
    return total


# Calls per method in `make bench`: 60,000 events whose records (about 1.6 KB each) stay well
# within a trace's budget of 128 MiB, so that every event is recorded.
SIZE = 15_000
