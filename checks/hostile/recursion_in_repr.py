"""Values whose repr recurses without end, and containers nested deeper than any limit."""


class Deep:
    def __repr__(self):
        return repr(self) + "!"


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def hold(a, b, c):
    return [a, b, c]


circular = []
circular.append(circular)
loop = {}
loop["self"] = loop
hold(Deep(), nested(100_000), circular)
hold(loop, nested(50), Deep())
print("survived")
