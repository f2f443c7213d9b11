"""Frames whose locals hold millions of items: a module namespace with two million names, and
functions with huge lists, dicts, sets, tuples, strings and bytes in their locals."""

namespace = {f"name_{i}": i for i in range(2_000_000)}
source = """
def inner(x):
    return x + 1

total = 0
for i in range(3):
    total = inner(total)
"""
exec(compile(source, "generated_module.py", "exec"), namespace)
print("module total", namespace["total"])


def holds_everything(n):
    numbers = list(range(n))
    table = dict.fromkeys(range(n))
    members = set(range(n))
    frozen = tuple(numbers)
    text = "x" * n
    blob = bytes(n)
    nested = [[i] for i in range(n // 10)]
    return (
        len(numbers) + len(table) + len(members) + len(frozen) + len(text) + len(blob) + len(nested)
    )


print(holds_everything(3_000_000))


def many_arguments(*args, **kwargs):
    return len(args), len(kwargs)


print(many_arguments(*range(1_000_000), **{f"k{i}": i for i in range(200_000)}))
