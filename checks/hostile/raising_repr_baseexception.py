"""A __repr__ that raises SystemExit or KeyboardInterrupt: only the program's own repr() calls may
see them."""
# hostile: warnings=allowed


class Exits:
    def __repr__(self):
        raise SystemExit(5)


class Interrupts:
    def __repr__(self):
        raise KeyboardInterrupt


class GeneratorExits:
    def __repr__(self):
        raise GeneratorExit


def hold(value):
    local = value
    return local


for make in (Exits, Interrupts, GeneratorExits):
    hold(make())
try:
    repr(Exits())
except SystemExit as error:
    print("caught own SystemExit", error.code)
print("still running")
