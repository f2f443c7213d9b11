"""MemoryError and OverflowError raised from traced code and caught by it."""


def allocate(n):
    return [0] * n


def grow():
    try:
        allocate(2**62)
    except MemoryError:
        return "memory error"


def overflow():
    try:
        return 10.0**400
    except OverflowError:
        return "overflow"


print(grow(), overflow())
