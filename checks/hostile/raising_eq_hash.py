"""Objects whose __eq__, __hash__ and __bool__ raise, held in locals, keys and sets."""


class Cranky:
    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        raise ArithmeticError("eq")

    def __ne__(self, other):
        raise ArithmeticError("ne")

    def __hash__(self):
        return self.n

    def __bool__(self):
        raise ValueError("bool")

    def __len__(self):
        raise ValueError("len")

    def __iter__(self):
        raise ValueError("iter")


class Unhashable:
    __hash__ = None

    def __eq__(self, other):
        raise ArithmeticError("eq")


def work(a, b):
    keys = {a: 1, Cranky(2): 2}
    same = {a}
    return keys, same, [b]


result = work(Cranky(1), Unhashable())
print(len(result[0]), len(result[1]))
try:
    Cranky(1) == Cranky(1)  # noqa: B015
except ArithmeticError as error:
    print("eq raised", error)
