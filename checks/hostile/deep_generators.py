"""Generators nested hundreds deep with yield from, closed early, thrown into, and left
suspended."""


def leaf(n):
    for i in range(n):
        received = yield i
        if received == "stop":
            return "stopped"


def chain(depth, n):
    if depth == 0:
        result = yield from leaf(n)
    else:
        result = yield from chain(depth - 1, n)
    return result


def consume(depth):
    return sum(chain(depth, 20))


print(consume(400))
gen = chain(300, 10)
print(next(gen), next(gen), gen.send(None))
try:
    gen.send("stop")
except StopIteration as stop:
    print("returned", stop.value)


def guarded():
    try:
        yield 1
        yield 2
    except ValueError as error:
        yield f"caught {error}"
    finally:
        print("finally ran")


g = guarded()
next(g)
print(g.throw(ValueError("thrown")))
g.close()
suspended = [chain(50, 5) for _ in range(100)]
for s in suspended:
    next(s)
print("suspended", len(suspended))
expr = sum(x for x in (y * 2 for y in range(1000)) if x % 3)
print(expr)
