"""Lone surrogates in file names, function names, qualified names, local names, keys and values:
text that cannot be written as UTF-8."""
# hostile: warnings=allowed

SOURCE = """
def f(x):
    y = x
    return y

result = f("value")
"""

for name in ("bad\udcff.py", "\ud800.py"):
    namespace = {}
    exec(compile(SOURCE, name, "exec"), namespace)
    print(repr(name), namespace["result"])


def template(x):
    return x


renamed = type(template)(
    template.__code__.replace(co_name="na\udc80me", co_qualname="Q\ud800.na\udc80me")
    if hasattr(template.__code__, "co_qualname")
    else template.__code__.replace(co_name="na\udc80me"),
    globals(),
)
print(renamed(5))


def values(a, b):
    local = {"\udcff": "\ud800", "ok": b}
    return local, a + "\udc00"


print(ascii(values("text\udcfe", b"\xff")))
ns = {"\udc80var": 1}
exec("def g(): return 1\nr = g()", ns)
print(ns["r"])
