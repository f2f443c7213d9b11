"""Objects whose attribute access raises for every name, used as self and cls of methods."""

# Without co_qualname (3.10) the tracer looks the function up on self or cls, the metaclass below
# raises there, and the event is reported as a warning instead of recorded.
# hostile: warnings=name-search


class Hostile:
    def __getattribute__(self, name):
        raise RuntimeError(f"no attribute {name} here")

    def __getattr__(self, name):
        raise RuntimeError(f"no fallback {name} either")

    def method(self, x):
        return x * 2

    @classmethod
    def klass(cls, x):
        return x + 1


class Meta(type):
    def __getattribute__(cls, name):
        if name in ("__name__", "__qualname__", "__mro__", "__dict__", "__module__"):
            raise LookupError(name)
        return super().__getattribute__(name)


class Guarded(metaclass=Meta):
    @classmethod
    def build(cls, n):
        return n * 3

    def use(self):
        return 7


class ClassProperty:
    @property
    def __class__(self):
        raise AttributeError("no class")

    def method(self):
        return "ok"


h = Hostile()
print(Hostile.method(h, 21))
print(Hostile.klass(1))
print(Guarded.build(2), type.__call__(Guarded).use())
print(ClassProperty().method())


def self_is_not_an_instance(self=None, cls=42):
    return (self, cls)


print(self_is_not_an_instance())
print(self_is_not_an_instance(Hostile(), Hostile)[1].__name__)
