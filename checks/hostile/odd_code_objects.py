"""Code objects with no line table, odd first line numbers, swapped into functions, and functions
whose name differs from their code's."""
# hostile: warnings=allowed
# (A frame of code without a line table has no line: its events cannot be recorded, which the
# tracer reports as warnings.)


def template(x):
    y = x + 1
    return y


def make(code):
    return type(template)(code, globals(), "made")


no_lines = template.__code__.replace(co_linetable=b"")
print(make(no_lines)(1))
far = template.__code__.replace(co_firstlineno=2_000_000_000)
print(make(far)(2))
renamed = template.__code__.replace(co_name="")
print(make(renamed)(3))


def other(x):
    return x * 10


other.__code__ = template.__code__
print(other(4), other.__name__)
lam = lambda a: lambda b: a + b  # noqa: E731
print(lam(1)(2))
