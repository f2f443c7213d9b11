"""Code compiled from strings under odd file names: empty, relative, with spaces and newlines,
very long, looking like library or vexo paths, not UTF-8 encodable, and a str subclass."""

SOURCE = """
def f(x):
    return x + 1

result = f(1)
"""


class Path(str):
    def __eq__(self, other):
        raise RuntimeError("compared")

    def __hash__(self):
        raise RuntimeError("hashed")


names = [
    "",
    "<string>",
    "relative/name.py",
    "with space and\nnewline.py",
    "/" + "very-long/" * 20_000 + "x.py",
    "/usr/lib/python3/site-packages/fake.py",
    "/somewhere/vexo/fake.py",
    "<frozen importlib._bootstrap>",
    "ünïcødé/名前.py",
    "tab\there.py",
    "\x7f\x01control.py",
]
for name in names:
    namespace = {}
    exec(compile(SOURCE, name, "exec"), namespace)
    print(repr(name[:40]), namespace["result"])

code = compile(SOURCE, "subclass.py", "exec")
code = code.replace(co_filename=Path("subclass.py"))
namespace = {}
exec(code, namespace)
print("str subclass", namespace["result"])
