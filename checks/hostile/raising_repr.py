"""Values whose __repr__ raises, as arguments, locals and return values of traced calls."""


class Bad:
    def __repr__(self):
        raise ValueError("no repr for you")


class WorseStr:
    def __repr__(self):
        raise RecursionError("pretend to be deep")

    def __str__(self):
        raise TypeError("nor str")


class NotText:
    def __repr__(self):
        return 42  # not a str: repr() itself raises TypeError


def take(value, *rest, **named):
    inside = [value, rest, named]
    return inside


def give():
    return Bad()


for value in (Bad(), WorseStr(), NotText(), [Bad()], {"k": Bad()}, {Bad(): 1}):
    take(value, Bad(), key=NotText())
    give()
try:
    repr(Bad())
except ValueError as error:
    print("untouched:", error)
print("done")
